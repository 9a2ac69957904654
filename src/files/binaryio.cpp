// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/binaryio.h"

#include <array>
#include <bit>
#include <istream>
#include <ostream>

#include "files/fileerrors.h"

namespace {

void checkRead(const std::istream& in)
{
    if (in.fail() || in.bad()) throw ReadFileError("error reading from binary file");
}

template <std::size_t N>
std::array<unsigned char, N> readBytes(std::istream& in)
{
    std::array<unsigned char, N> bytes{};
    in.read(reinterpret_cast<char*>(bytes.data()), N);
    checkRead(in);
    return bytes;
}

std::uint32_t littleEndian32(const std::array<unsigned char, 4>& b)
{
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

void putLittleEndian32(std::ostream& out, std::uint32_t v)
{
    const char bytes[4] = {static_cast<char>(v & 0xFFu), static_cast<char>((v >> 8) & 0xFFu),
                           static_cast<char>((v >> 16) & 0xFFu), static_cast<char>((v >> 24) & 0xFFu)};
    out.write(bytes, 4);
}

[[maybe_unused]] std::uint32_t byteSwap32(std::uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

} // namespace

float readFloat32(std::istream& in)
{
    return std::bit_cast<float>(littleEndian32(readBytes<4>(in)));
}

int readUInt16(std::istream& in)
{
    const auto b = readBytes<2>(in);
    return static_cast<int>(b[0]) | (static_cast<int>(b[1]) << 8);
}

std::int32_t readInt32(std::istream& in)
{
    return static_cast<std::int32_t>(littleEndian32(readBytes<4>(in)));
}

std::string readCString(std::istream& in)
{
    std::string text;
    for (;;) {
        const int c = in.get();
        checkRead(in);
        if (c == '\0') break;
        text.push_back(static_cast<char>(c));
    }
    if (text.empty()) throw ReadFileError("error reading from binary file");
    return text;
}

void readFloat32Array(std::istream& in, float* values, std::size_t count)
{
    in.read(reinterpret_cast<char*>(values), static_cast<std::streamsize>(count * sizeof(float)));
    checkRead(in);
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = std::bit_cast<float>(byteSwap32(std::bit_cast<std::uint32_t>(values[i])));
    }
}

void writeFloat32(std::ostream& out, float value)
{
    putLittleEndian32(out, std::bit_cast<std::uint32_t>(value));
}

void writeUInt16(std::ostream& out, int value)
{
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
    out.write(bytes, 2);
}

void writeInt32(std::ostream& out, std::int32_t value)
{
    putLittleEndian32(out, static_cast<std::uint32_t>(value));
}

void writeCString(std::ostream& out, const std::string& text)
{
    out.write(text.c_str(), static_cast<std::streamsize>(text.size() + 1));
}

void writeFloat32Array(std::ostream& out, const float* values, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::little) {
        out.write(reinterpret_cast<const char*>(values), static_cast<std::streamsize>(count * sizeof(float)));
    } else {
        for (std::size_t i = 0; i < count; ++i) writeFloat32(out, values[i]);
    }
}
