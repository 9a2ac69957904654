// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog parameters that the plug-in shares with its dialog script through the host.
#pragma once

#include <string>
#include <vector>

// The value of a string parameter, read through a 10240-byte buffer.
std::string readStringParameter(const std::string& name);
int readIntParameter(const std::string& name);
// A flag is an integer parameter that is set when nonzero.
bool readFlagParameter(const std::string& name);
void writeStringParameter(const std::string& name, const std::string& value);
void writeIntParameter(const std::string& name, int value);

// The pieces of the text between newline characters, in order, empty pieces dropped.
// A carriage return stays part of its piece.
std::vector<std::string> splitLines(const std::string& text);
