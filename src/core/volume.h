// SPDX-License-Identifier: GPL-3.0-or-later
// The one image type of the plug-in and its small numeric companions. All are plain
// value types: copies are deep, moves steal. Voxel (x, y, z) lies at (z*ny + y)*nx + x;
// y is the phase-encoding axis everywhere in the numerics.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct Dimensions {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    friend bool operator==(const Dimensions&, const Dimensions&) = default;
};

struct VoxelIndex {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    friend bool operator==(const VoxelIndex&, const VoxelIndex&) = default;
};

struct Point3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// Lower neighbour index for linear interpolation: trunc(t + 2) - 2, the floor for t above
// -2. NaN and positions beyond the int range map to an index far outside any axis, so
// that no neighbour contributes.
inline int interpolationFloor(float t)
{
    if (!(t > -3.0f)) return -3;
    if (!(t < 1073741824.0f)) return 1073741824;
    return static_cast<int>(t + 2.0f) - 2;
}

// Linear interpolation between the samples data[0..n) at position t; neighbours outside
// count as 0.
inline float sampleLinearAt(const float* data, int n, float t)
{
    const int i0 = interpolationFloor(t);
    const float a = (i0 >= 0 && i0 < n) ? data[i0] : 0.0f;
    const float b = (i0 + 1 >= 0 && i0 + 1 < n) ? data[i0 + 1] : 0.0f;
    return (t - static_cast<float>(i0)) * b + (static_cast<float>(i0 + 1) - t) * a;
}

// Number of voxels of an extent, in 64 bits; throws std::bad_alloc when the count is
// negative or too large to allocate.
std::size_t voxelCount(Dimensions extent);

class Volume {
public:
    Volume() = default;
    Volume(int nx, int ny, int nz);
    Volume(int nx, int ny, int nz, float value);
    explicit Volume(Dimensions extent);
    Volume(Dimensions extent, float value);
    Volume(const Volume& other);
    Volume(Volume&& other) noexcept;
    Volume& operator=(const Volume& other);
    Volume& operator=(Volume&& other) noexcept;
    ~Volume();

    int nx() const { return extent_.x; }
    int ny() const { return extent_.y; }
    int nz() const { return extent_.z; }
    Dimensions dimensions() const { return extent_; }
    // Voxel count of the extent (nx*ny*nz).
    std::size_t size() const;

    float* data() { return data_; }
    const float* data() const { return data_; }
    float& operator[](std::size_t i) { return data_[i]; }
    float operator[](std::size_t i) const { return data_[i]; }
    std::size_t index(int x, int y, int z) const
    {
        return (static_cast<std::size_t>(z) * static_cast<std::size_t>(extent_.y) + static_cast<std::size_t>(y)) *
                   static_cast<std::size_t>(extent_.x) +
               static_cast<std::size_t>(x);
    }
    float& operator()(int x, int y, int z) { return data_[index(x, y, z)]; }
    float operator()(int x, int y, int z) const { return data_[index(x, y, z)]; }

    // Trilinear value at a position in voxel units; neighbours outside count as 0.
    float sampleTrilinear(float x, float y, float z) const;
    // Sets the extent; a different voxel count re-centres the contents in a zero-filled
    // array (integer offsets (new - old) / 2, truncated), dropping what falls outside.
    void resizeCentred(Dimensions extent);
    // Grows by border voxels on each side, replicating the edge voxels.
    void padReplicate(Dimensions border);
    // New volume of extent (ny, nx, nz) with out(y, x, z) = in(x, y, z).
    Volume transposeXY() const;

    Volume& operator*=(const Volume& other);

private:
    void allocate();

    Dimensions extent_;
    float* data_ = nullptr;
};

Volume operator*(const Volume& a, const Volume& b);
Volume operator*(const Volume& a, float s);
Volume operator-(const Volume& a);
Volume operator+(const Volume& a, float s);

class Vector {
public:
    Vector() = default;
    explicit Vector(int n);
    Vector(int n, float value);
    Vector(const Vector& other);
    Vector(Vector&& other) noexcept;
    Vector& operator=(const Vector& other);
    Vector& operator=(Vector&& other) noexcept;
    ~Vector();

    int size() const { return size_; }
    float* data() { return data_; }
    const float* data() const { return data_; }
    float& operator[](int i) { return data_[i]; }
    float operator[](int i) const { return data_[i]; }

    Vector& operator+=(const Vector& w);
    Vector& operator-=(const Vector& w);
    float max() const;
    float min() const;
    // a*v + b, element by element.
    Vector affine(float a, float b) const;
    // Linear interpolation at t; samples outside [0, size-1] count as 0.
    float sampleLinear(float t) const;
    // r[i] = sampleLinear(offsets[i] + size(offsets)/2).
    Vector resampleAtOffsets(const Vector& offsets) const;

private:
    int size_ = 0;
    float* data_ = nullptr;
};

Vector operator*(const Vector& v, float s);
Vector operator/(const Vector& v, float s);
Vector operator+(const Vector& v, float s);
Vector operator-(const Vector& v, const Vector& w);
// r[i] = i - n/2, the half taken as a float.
Vector centredRamp(int n);

// columns x rows floats; element (c, r) at r*columns + c.
class Matrix {
public:
    Matrix() = default;
    Matrix(int columns, int rows);
    Matrix(int columns, int rows, float value);
    Matrix(const Matrix& other);
    Matrix(Matrix&& other) noexcept;
    Matrix& operator=(const Matrix& other);
    Matrix& operator=(Matrix&& other) noexcept;
    ~Matrix();

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    float* data() { return data_; }
    const float* data() const { return data_; }
    float& operator()(int c, int r) { return data_[static_cast<std::size_t>(r) * columns_ + c]; }
    float operator()(int c, int r) const { return data_[static_cast<std::size_t>(r) * columns_ + c]; }

    Matrix transpose() const;

private:
    int columns_ = 0;
    int rows_ = 0;
    float* data_ = nullptr;
};

// (c, r) = sum over k (increasing) of L(k, r) * R(c, k); requires L.columns == R.rows.
Matrix operator*(const Matrix& left, const Matrix& right);
// out[c] = sum over r of v[r] * M(c, r); v has M.rows elements.
Vector operator*(const Vector& v, const Matrix& m);
Matrix operator-(const Matrix& m);

// A 4 x 4 affine transform, row-major, row-vector convention: p' = [x y z 1] * M.
struct Transform {
    std::array<float, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

// B * A (row-vector convention: b is applied first, then a).
Transform product(const Transform& a, const Transform& b);
// T(t) * s: the fourth row becomes t.x*row0 + t.y*row1 + t.z*row2 + row3.
Transform preTranslate(const Transform& s, Point3 t);
