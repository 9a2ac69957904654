// SPDX-License-Identifier: GPL-3.0-or-later
// The services that the host exports to the plug-in (resolved there by name), declared
// here for the host's own use and its tests.
#pragma once

#include "sdk/hostservices.h"

extern "C" {
void hsGetVersionOfMindaroHS(int* major, int* minor, int* patch);
void hsLogText(const char* text);
void hsMessageBox(const char* text);
int hsYesNoMessageBox(const char* question);
void hsGetOpenFileName(const char* title, const char* initial, const char* filter, char* path);
void hsShowBusyCursor();
void hsStopBusyCursor();
void hsGetStringParameter(char* name, char* value);
int hsGetIntParameter(char* name);
void hsSetStringParameter(char* name, char* value);
void hsSetIntParameter(char* name, int value);
const void* hsStopRequestFlag();
}
