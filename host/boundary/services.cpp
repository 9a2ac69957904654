// SPDX-License-Identifier: GPL-3.0-or-later
// The host services that the plug-in takes by name: log, message boxes, dialogs, busy
// cursor and the dialog parameter store. The map services live with the map documents.
#include <cstring>
#include <iostream>
#include <string>

#include "boundary/hoststate.h"
#include "boundary/services.h"
#include "cli/busycursor.h"
#include "cli/terminal.h"
#include "core/stoprequest.h"

namespace {

void showMessage(const std::string& text)
{
    HostState& state = hostState();
    if (text.rfind("Error", 0) == 0) state.errorShown = true;
    state.messages.push_back(text);
    // A task that stopped on request says so through its error box; the command that ran
    // it says what was left undone instead.
    if (const int signal = stopSignal(); signal != 0 && text == "Error: " + std::string(StopRequested(signal).what()))
        return;
    withBusyCursorCleared([&] {
        *state.messageOutput << text;
        if (text.empty() || text.back() != '\n') *state.messageOutput << '\n';
        state.messageOutput->flush();
    });
}

// Copies a value into a buffer of the given size, NUL-terminated; false, with an empty
// text written, when the value does not fit.
bool copyIntoBuffer(const std::string& value, char* buffer, std::size_t size)
{
    if (value.size() >= size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return true;
}

int askOnTerminal(const std::string& question)
{
    withBusyCursorCleared([&] {
        std::cerr << question << " [y/N] ";
        std::cerr.flush();
    });
    std::string answer;
    if (!std::getline(std::cin, answer)) return 0;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" ? 1 : 0;
}

}  // namespace

extern "C" {

void hsGetVersionOfMindaroHS(int* major, int* minor, int* patch)
{
    const HostVersion& version = hostState().version;
    *major = version.major;
    *minor = version.minor;
    *patch = version.patch;
}

// One entry per call and line; an empty entry shows nothing.
void hsLogText(const char* text)
{
    const std::string entry = text;
    if (entry.empty()) return;
    hostState().logEntries.push_back(entry);
    std::ostream& output = *hostState().logOutput;
    withBusyCursorCleared([&] {
        output << entry;
        if (entry.back() != '\n') output << '\n';
        output.flush();
    });
}

void hsMessageBox(const char* text)
{
    showMessage(text);
}

int hsYesNoMessageBox(const char* question)
{
    const YesNoAnswer mode = hostState().yesNo;
    if (mode == YesNoAnswer::Ask && inputIsTerminal() && errorIsTerminal()) return askOnTerminal(question);
    const bool yes = mode == YesNoAnswer::Yes;
    showMessage(std::string(question) + (yes ? " -> yes" : " -> no"));
    return yes ? 1 : 0;
}

void hsGetOpenFileName(const char*, const char*, const char*, char* path)
{
    if (!copyIntoBuffer(hostState().openFileAnswer, path, kOpenFileNameBufferSize))
        showMessage("Error: the file-open answer is longer than " + std::to_string(kOpenFileNameBufferSize - 1) +
                    " bytes; the dialog returned an empty path instead.");
}

void hsShowBusyCursor()
{
    showBusyCursor();
}

void hsStopBusyCursor()
{
    stopBusyCursor();
}

void hsGetStringParameter(char* name, char* value)
{
    const auto& parameters = hostState().stringParameters;
    const auto found = parameters.find(name);
    const std::string text = found == parameters.end() ? std::string() : found->second;
    if (!copyIntoBuffer(text, value, kStringParameterBufferSize))
        showMessage("Error: the dialog parameter \"" + std::string(name) + "\" is longer than " +
                    std::to_string(kStringParameterBufferSize - 1) +
                    " bytes, more than the plug-in can read; it was passed as empty text.");
}

int hsGetIntParameter(char* name)
{
    const auto& parameters = hostState().intParameters;
    const auto found = parameters.find(name);
    return found == parameters.end() ? 0 : found->second;
}

void hsSetStringParameter(char* name, char* value)
{
    hostState().stringParameters[name] = value;
}

void hsSetIntParameter(char* name, int value)
{
    hostState().intParameters[name] = value;
}

const void* hsStopRequestFlag()
{
    return &ownStopFlag();
}
}
