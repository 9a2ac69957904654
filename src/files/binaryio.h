// SPDX-License-Identifier: GPL-3.0-or-later
// Little-endian binary reading and writing on streams opened in binary mode. Every
// reader raises ReadFileError "error reading from binary file" when the stream is
// failed or bad after the read; every writer leaves error detection to the caller's
// check of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

float readFloat32(std::istream& in);
// Two bytes, unsigned; returned as a non-negative int.
int readUInt16(std::istream& in);
std::int32_t readInt32(std::istream& in);
// Characters up to the next NUL byte, which is consumed and not stored. An empty text
// (the NUL comes first) and a missing NUL are errors.
std::string readCString(std::istream& in);
// count consecutive floats into values.
void readFloat32Array(std::istream& in, float* values, std::size_t count);

void writeFloat32(std::ostream& out, float value);
// The low 16 bits of value.
void writeUInt16(std::ostream& out, int value);
void writeInt32(std::ostream& out, std::int32_t value);
// The text's characters followed by one NUL byte.
void writeCString(std::ostream& out, const std::string& text);
void writeFloat32Array(std::ostream& out, const float* values, std::size_t count);
