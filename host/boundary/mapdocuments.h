// SPDX-License-Identifier: GPL-3.0-or-later
// The map documents of the stand-in host and the five map services the plug-in calls.
//
// The current FMR document is the --document path, else the dialog parameter "file0",
// else the first line of "files". Each document holds at most one map; creating a map
// gives it the document's stored extent (ResolutionX x ResolutionY x NrOfSlices of its
// header). Saving writes that map as a ".map" file that the plug-in's reader accepts.
#pragma once

#include <string>

#include "sdk/hostservices.h"

// Path of the current FMR document; empty when there is none.
std::string currentDocumentPath();

// Forgets the maps of every document.
void clearMapDocuments();

extern "C" {
// Replaces the current document's map with a zero-filled one of the document's extent.
bool hsCreateMAPForCurrentFMR();
// Fills the header with the map's header (DimX, DimY, DimZ and the fields set before)
// and returns DimZ slice arrays of DimX x DimY floats, x fastest, owned by the host;
// null when there is no document or it holds no map.
float** hsGetMAPOfCurrentFMR(MapHeader* header);
// Takes the header's fields over, except the extent.
bool hsSetMAPParametersOfCurrentFMR(MapHeader* header);
// Writes the current document's map to path.
bool hsSaveMAPsOfCurrentFMR(const char* path);
// Reads a ".map" file, makes it the current document's map and reports on standard
// error which map is shown on which document.
bool hsLoadMAPsToCurrentFMR(const char* path);
}
