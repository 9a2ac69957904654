// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/threadpool.h"

namespace {

float* allocateFloats(std::size_t count)
{
    return count == 0 ? nullptr : new float[count];
}

// Voxels filled or copied per piece: large arrays are filled and copied on the worker
// threads, which also share the first touch of their pages.
constexpr std::size_t kCopyBlock = std::size_t{1} << 16;

void fillFloats(float* data, std::size_t count, float value)
{
    forEachBlockToTheEnd(count, kCopyBlock,
                         [&](std::size_t begin, std::size_t end) { std::fill(data + begin, data + end, value); });
}

void copyFloats(float* to, const float* from, std::size_t count)
{
    forEachBlockToTheEnd(count, kCopyBlock, [&](std::size_t begin, std::size_t end) {
        std::memcpy(to + begin, from + begin, (end - begin) * sizeof(float));
    });
}

std::size_t checkedCount(std::int64_t count)
{
    if (count < 0 || static_cast<std::uint64_t>(count) > std::numeric_limits<std::size_t>::max() / sizeof(float))
        throw std::bad_alloc();
    return static_cast<std::size_t>(count);
}

int clampIndex(int i, int n)
{
    return std::clamp(i, 0, n - 1);
}

} // namespace

std::size_t voxelCount(Dimensions extent)
{
    std::int64_t count = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(extent.x), static_cast<std::int64_t>(extent.y), &count) ||
        __builtin_mul_overflow(count, static_cast<std::int64_t>(extent.z), &count))
        throw std::bad_alloc();
    if (extent.x < 0 || extent.y < 0 || extent.z < 0) throw std::bad_alloc();
    return checkedCount(count);
}

// ---------------------------------------------------------------- Volume

Volume::Volume(int nx, int ny, int nz) : Volume(Dimensions{nx, ny, nz}) {}

Volume::Volume(int nx, int ny, int nz, float value) : Volume(Dimensions{nx, ny, nz}, value) {}

Volume::Volume(Dimensions extent) : extent_(extent)
{
    allocate();
}

Volume::Volume(Dimensions extent, float value) : extent_(extent)
{
    allocate();
    fillFloats(data_, size(), value);
}

Volume::Volume(const Volume& other) : extent_(other.extent_)
{
    allocate();
    if (data_ != nullptr && other.data_ != nullptr) copyFloats(data_, other.data_, size());
}

Volume::Volume(Volume&& other) noexcept : extent_(other.extent_), data_(std::exchange(other.data_, nullptr)) {}

Volume& Volume::operator=(const Volume& other)
{
    if (this == &other) return *this;
    resizeCentred(other.extent_);
    if (data_ != nullptr && other.data_ != nullptr) copyFloats(data_, other.data_, size());
    return *this;
}

Volume& Volume::operator=(Volume&& other) noexcept
{
    if (this == &other) return *this;
    delete[] data_;
    extent_ = other.extent_;
    data_ = std::exchange(other.data_, nullptr);
    return *this;
}

Volume::~Volume()
{
    delete[] data_;
}

std::size_t Volume::size() const
{
    return voxelCount(extent_);
}

void Volume::allocate()
{
    data_ = allocateFloats(voxelCount(extent_));
}

float Volume::sampleTrilinear(float x, float y, float z) const
{
    const int i0 = interpolationFloor(x);
    const int j0 = interpolationFloor(y);
    const int k0 = interpolationFloor(z);
    const float fx = x - static_cast<float>(i0);
    const float fy = y - static_cast<float>(j0);
    const float fz = z - static_cast<float>(k0);
    const float wx[2] = {1.0f - fx, fx};
    const float wy[2] = {1.0f - fy, fy};
    const float wz[2] = {1.0f - fz, fz};
    float result = 0.0f;
    for (int dk = 0; dk < 2; ++dk) {
        const int k = k0 + dk;
        if (k < 0 || k >= extent_.z) continue;
        for (int dj = 0; dj < 2; ++dj) {
            const int j = j0 + dj;
            if (j < 0 || j >= extent_.y) continue;
            for (int di = 0; di < 2; ++di) {
                const int i = i0 + di;
                if (i < 0 || i >= extent_.x) continue;
                result += wx[di] * wy[dj] * wz[dk] * (*this)(i, j, k);
            }
        }
    }
    return result;
}

void Volume::resizeCentred(Dimensions extent)
{
    const Dimensions old = extent_;
    const std::size_t count = voxelCount(extent);
    // A moved-from volume has no array to reinterpret and gets a fresh one.
    if (voxelCount(old) == count && (data_ != nullptr || count == 0)) {
        extent_ = extent;
        return;
    }
    float* fresh = allocateFloats(count);
    fillFloats(fresh, count, 0.0f);
    const int ox = (extent.x - old.x) / 2;
    const int oy = (extent.y - old.y) / 2;
    const int oz = (extent.z - old.z) / 2;
    if (data_ != nullptr) {
        forEachPieceToTheEnd(static_cast<std::size_t>(old.z), [&](std::size_t slice) {
            const int z = static_cast<int>(slice);
            const int tz = z + oz;
            if (tz < 0 || tz >= extent.z) return;
            for (int y = 0; y < old.y; ++y) {
                const int ty = y + oy;
                if (ty < 0 || ty >= extent.y) continue;
                const int xBegin = std::max(0, -ox);
                const int xEnd = std::min(old.x, extent.x - ox);
                if (xBegin >= xEnd) continue;
                const float* from = data_ + index(xBegin, y, z);
                float* to = fresh + (static_cast<std::size_t>(tz) * extent.y + ty) * extent.x + (xBegin + ox);
                std::memcpy(to, from, static_cast<std::size_t>(xEnd - xBegin) * sizeof(float));
            }
        });
    }
    delete[] data_;
    data_ = fresh;
    extent_ = extent;
}

void Volume::padReplicate(Dimensions border)
{
    const Dimensions padded{extent_.x + 2 * border.x, extent_.y + 2 * border.y, extent_.z + 2 * border.z};
    if (data_ == nullptr || size() == 0) {
        // Nothing to replicate: the grown volume is empty space.
        *this = Volume(padded, 0.0f);
        return;
    }
    Volume out(padded);
    // Target columns [0, left) replicate the first voxel, [right, end) the last one.
    const int left = std::clamp(border.x, 0, std::max(padded.x, 0));
    const int right = std::clamp(border.x + extent_.x, left, std::max(padded.x, left));
    forEachPiece(static_cast<std::size_t>(std::max(padded.z, 0)), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        const int sz = clampIndex(z - border.z, extent_.z);
        for (int y = 0; y < padded.y; ++y) {
            const int sy = clampIndex(y - border.y, extent_.y);
            const float* row = data_ + index(0, sy, sz);
            float* target = out.data_ + out.index(0, y, z);
            std::fill(target, target + left, row[0]);
            for (int x = left; x < right; ++x) target[x] = row[x - border.x];
            std::fill(target + right, target + padded.x, row[extent_.x - 1]);
        }
    });
    *this = std::move(out);
}

Volume Volume::transposeXY() const
{
    Volume out(extent_.y, extent_.x, extent_.z);
    forEachPiece(static_cast<std::size_t>(std::max(extent_.z, 0)), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        for (int y = 0; y < extent_.y; ++y)
            for (int x = 0; x < extent_.x; ++x) out(y, x, z) = (*this)(x, y, z);
    });
    return out;
}

Volume& Volume::operator*=(const Volume& other)
{
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) data_[i] *= other.data_[i];
    return *this;
}

Volume operator*(const Volume& a, const Volume& b)
{
    Volume out(a);
    out *= b;
    return out;
}

Volume operator*(const Volume& a, float s)
{
    Volume out(a.dimensions());
    const std::size_t n = a.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i] * s;
    return out;
}

Volume operator-(const Volume& a)
{
    Volume out(a.dimensions());
    const std::size_t n = a.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = -a[i];
    return out;
}

Volume operator+(const Volume& a, float s)
{
    Volume out(a.dimensions());
    const std::size_t n = a.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i] + s;
    return out;
}

// ---------------------------------------------------------------- Vector

Vector::Vector(int n) : size_(n), data_(allocateFloats(checkedCount(n))) {}

Vector::Vector(int n, float value) : Vector(n)
{
    std::fill_n(data_, size_, value);
}

Vector::Vector(const Vector& other) : Vector(other.size_)
{
    std::copy_n(other.data_, size_, data_);
}

Vector::Vector(Vector&& other) noexcept : size_(other.size_), data_(std::exchange(other.data_, nullptr)) {}

Vector& Vector::operator=(const Vector& other)
{
    if (this == &other) return *this;
    if (size_ != other.size_) {
        float* fresh = allocateFloats(checkedCount(other.size_));
        delete[] data_;
        data_ = fresh;
        size_ = other.size_;
    }
    std::copy_n(other.data_, size_, data_);
    return *this;
}

Vector& Vector::operator=(Vector&& other) noexcept
{
    if (this == &other) return *this;
    delete[] data_;
    size_ = other.size_;
    data_ = std::exchange(other.data_, nullptr);
    return *this;
}

Vector::~Vector()
{
    delete[] data_;
}

Vector& Vector::operator+=(const Vector& w)
{
    for (int i = 0; i < size_; ++i) data_[i] += w.data_[i];
    return *this;
}

Vector& Vector::operator-=(const Vector& w)
{
    for (int i = 0; i < size_; ++i) data_[i] -= w.data_[i];
    return *this;
}

float Vector::max() const
{
    float best = data_[0];
    for (int i = 1; i < size_; ++i)
        if (data_[i] > best) best = data_[i];
    return best;
}

float Vector::min() const
{
    float best = data_[0];
    for (int i = 1; i < size_; ++i)
        if (data_[i] < best) best = data_[i];
    return best;
}

Vector Vector::affine(float a, float b) const
{
    Vector out(size_);
    for (int i = 0; i < size_; ++i) out.data_[i] = a * data_[i] + b;
    return out;
}

float Vector::sampleLinear(float t) const
{
    return sampleLinearAt(data_, size_, t);
}

Vector Vector::resampleAtOffsets(const Vector& offsets) const
{
    const float half = static_cast<float>(offsets.size()) / 2.0f;
    Vector out(offsets.size());
    for (int i = 0; i < offsets.size(); ++i) out.data_[i] = sampleLinear(offsets.data_[i] + half);
    return out;
}

Vector operator*(const Vector& v, float s)
{
    Vector out(v.size());
    for (int i = 0; i < v.size(); ++i) out[i] = v[i] * s;
    return out;
}

Vector operator/(const Vector& v, float s)
{
    Vector out(v.size());
    for (int i = 0; i < v.size(); ++i) out[i] = v[i] / s;
    return out;
}

Vector operator+(const Vector& v, float s)
{
    Vector out(v.size());
    for (int i = 0; i < v.size(); ++i) out[i] = v[i] + s;
    return out;
}

Vector operator-(const Vector& v, const Vector& w)
{
    Vector out(v.size());
    for (int i = 0; i < v.size(); ++i) out[i] = v[i] - w[i];
    return out;
}

Vector centredRamp(int n)
{
    const float half = static_cast<float>(n) / 2.0f;
    Vector out(n);
    for (int i = 0; i < n; ++i) out[i] = static_cast<float>(i) - half;
    return out;
}

// ---------------------------------------------------------------- Matrix

Matrix::Matrix(int columns, int rows)
    : columns_(columns), rows_(rows),
      data_(allocateFloats(checkedCount(columns < 0 || rows < 0 ? -1 : static_cast<std::int64_t>(columns) * rows)))
{
}

Matrix::Matrix(int columns, int rows, float value) : Matrix(columns, rows)
{
    std::fill_n(data_, static_cast<std::size_t>(columns_) * rows_, value);
}

Matrix::Matrix(const Matrix& other) : Matrix(other.columns_, other.rows_)
{
    std::copy_n(other.data_, static_cast<std::size_t>(columns_) * rows_, data_);
}

Matrix::Matrix(Matrix&& other) noexcept
    : columns_(other.columns_), rows_(other.rows_), data_(std::exchange(other.data_, nullptr))
{
}

Matrix& Matrix::operator=(const Matrix& other)
{
    if (this == &other) return *this;
    const std::size_t count = static_cast<std::size_t>(other.columns_) * other.rows_;
    if (static_cast<std::size_t>(columns_) * rows_ != count) {
        float* fresh = allocateFloats(count);
        delete[] data_;
        data_ = fresh;
    }
    columns_ = other.columns_;
    rows_ = other.rows_;
    std::copy_n(other.data_, count, data_);
    return *this;
}

Matrix& Matrix::operator=(Matrix&& other) noexcept
{
    if (this == &other) return *this;
    delete[] data_;
    columns_ = other.columns_;
    rows_ = other.rows_;
    data_ = std::exchange(other.data_, nullptr);
    return *this;
}

Matrix::~Matrix()
{
    delete[] data_;
}

Matrix Matrix::transpose() const
{
    Matrix out(rows_, columns_);
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < columns_; ++c) out(r, c) = (*this)(c, r);
    return out;
}

Matrix operator*(const Matrix& left, const Matrix& right)
{
    Matrix out(right.columns(), left.rows());
    for (int r = 0; r < left.rows(); ++r)
        for (int c = 0; c < right.columns(); ++c) {
            float sum = 0.0f;
            for (int k = 0; k < left.columns(); ++k) sum += left(k, r) * right(c, k);
            out(c, r) = sum;
        }
    return out;
}

Vector operator*(const Vector& v, const Matrix& m)
{
    Vector out(m.columns());
    for (int c = 0; c < m.columns(); ++c) {
        float sum = 0.0f;
        for (int r = 0; r < m.rows(); ++r) sum += v[r] * m(c, r);
        out[c] = sum;
    }
    return out;
}

Matrix operator-(const Matrix& m)
{
    Matrix out(m.columns(), m.rows());
    const std::size_t n = static_cast<std::size_t>(m.columns()) * m.rows();
    for (std::size_t i = 0; i < n; ++i) out.data()[i] = -m.data()[i];
    return out;
}

// ---------------------------------------------------------------- Transform

Transform product(const Transform& a, const Transform& b)
{
    Transform out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) sum += b.m[r * 4 + k] * a.m[k * 4 + c];
            out.m[r * 4 + c] = sum;
        }
    return out;
}

Transform preTranslate(const Transform& s, Point3 t)
{
    Transform out = s;
    for (int c = 0; c < 4; ++c)
        out.m[12 + c] = t.x * s.m[c] + t.y * s.m[4 + c] + t.z * s.m[8 + c] + s.m[12 + c];
    return out;
}
