// SPDX-License-Identifier: GPL-3.0-or-later
// The message of the logic error that a call throws, or "no exception".
#pragma once

#include <stdexcept>
#include <string>

template <typename Function>
std::string assertionMessage(Function function)
{
    try {
        function();
    } catch (const std::logic_error& error) {
        return error.what();
    }
    return "no exception";
}
