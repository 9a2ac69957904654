// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/mapdocuments.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "boundary/hoststate.h"
#include "core/volume.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"

namespace {

struct MapDocument {
    MapHeader header{};
    Volume map;
    std::vector<float*> slices;   // one pointer per slice of map

    void setMap(Volume volume)
    {
        map = std::move(volume);
        header.DimX = map.nx();
        header.DimY = map.ny();
        header.DimZ = map.nz();
        slices.clear();
        const std::size_t sliceSize = static_cast<std::size_t>(map.nx()) * static_cast<std::size_t>(map.ny());
        for (int z = 0; z < map.nz(); ++z) slices.push_back(map.data() + static_cast<std::size_t>(z) * sliceSize);
    }
};

std::map<std::string, MapDocument>& documents()
{
    static std::map<std::string, MapDocument> all;
    return all;
}

void report(const std::string& text)
{
    std::cerr << text << '\n';
    std::cerr.flush();
}

std::string stringParameter(const std::string& name)
{
    const auto& parameters = hostState().stringParameters;
    const auto found = parameters.find(name);
    return found == parameters.end() ? std::string() : found->second;
}

// The current document's entry; null, with a report, when there is no document or map.
MapDocument* currentMap(const char* service)
{
    const std::string document = currentDocumentPath();
    if (document.empty()) {
        report(std::string(service) + ": there is no current FMR document");
        return nullptr;
    }
    const auto found = documents().find(document);
    if (found == documents().end()) {
        report(std::string(service) + ": the document " + document + " holds no map");
        return nullptr;
    }
    return &found->second;
}

Dimensions storedExtent(const std::string& document)
{
    auto extentOf = [](const ProjectHeader& h) {
        return Dimensions{h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value};
    };
    const Dimensions extent = hasExtension(document, "fmr") ? extentOf(readFmrHeader(document, false))
                                                             : extentOf(readDmrHeader(document, false));
    if (extent.x <= 0 || extent.y <= 0 || extent.z <= 0)
        throw std::runtime_error("the header gives no positive ResolutionX, ResolutionY and NrOfSlices");
    return extent;
}

std::uint16_t toWord(std::int32_t value)
{
    return static_cast<std::uint16_t>(std::clamp<std::int32_t>(value, 0, 0xFFFF));
}

} // namespace

std::string currentDocumentPath()
{
    if (!hostState().documentPath.empty()) return hostState().documentPath;
    const std::string file0 = stringParameter("file0");
    if (!file0.empty()) return file0;
    std::string first = stringParameter("files");
    first = first.substr(0, first.find('\n'));
    if (!first.empty() && first.back() == '\r') first.pop_back();
    return first;
}

void clearMapDocuments()
{
    documents().clear();
}

extern "C" {

bool hsCreateMAPForCurrentFMR()
{
    const std::string document = currentDocumentPath();
    if (document.empty()) {
        report("hsCreateMAPForCurrentFMR: there is no current FMR document");
        return false;
    }
    try {
        const Dimensions extent = storedExtent(document);
        MapDocument fresh;
        fresh.header.Kind = 1;
        fresh.header.Threshold = 1.0f;
        fresh.header.Maximum = 5.0f;
        fresh.setMap(Volume(extent, 0.0f));
        documents()[document] = std::move(fresh);
        return true;
    } catch (const std::exception& e) {
        report("Cannot create a map for " + document + ": " + e.what());
        return false;
    }
}

float** hsGetMAPOfCurrentFMR(MapHeader* header)
{
    MapDocument* document = currentMap("hsGetMAPOfCurrentFMR");
    if (document == nullptr || header == nullptr) return nullptr;
    *header = document->header;
    return document->slices.data();
}

bool hsSetMAPParametersOfCurrentFMR(MapHeader* header)
{
    MapDocument* document = currentMap("hsSetMAPParametersOfCurrentFMR");
    if (document == nullptr || header == nullptr) return false;
    const MapHeader kept = document->header;
    document->header = *header;
    document->header.DimX = kept.DimX;
    document->header.DimY = kept.DimY;
    document->header.DimZ = kept.DimZ;
    return true;
}

bool hsSaveMAPsOfCurrentFMR(const char* path)
{
    MapDocument* document = currentMap("hsSaveMAPsOfCurrentFMR");
    if (document == nullptr || path == nullptr) return false;
    try {
        VdmMapFile file = makeVdmMapFile(path, document->map);
        file.fifthHeaderWord = toWord(document->header.Kind);
        file.firstHeaderFloat = document->header.Threshold;
        file.secondHeaderFloat = document->header.Maximum;
        file.firstExtraInteger = document->header.Untouched;
        file.secondExtraInteger = document->header.Flags;
        file.text = "VDM of " + fileNamePart(currentDocumentPath());
        writeVdmMapFile(file);
        hostState().savedMaps.push_back(path);
        return true;
    } catch (const std::exception& e) {
        report(std::string("Cannot save the map as ") + path + ": " + e.what());
        return false;
    }
}

bool hsLoadMAPsToCurrentFMR(const char* path)
{
    const std::string document = currentDocumentPath();
    if (document.empty() || path == nullptr) {
        report("hsLoadMAPsToCurrentFMR: there is no current FMR document");
        return false;
    }
    try {
        VdmMapFile file = readVdmMapFile(path, true);
        MapDocument loaded;
        loaded.header.Kind = file.fifthHeaderWord;
        loaded.header.Threshold = file.firstHeaderFloat;
        loaded.header.Maximum = file.secondHeaderFloat;
        loaded.header.Untouched = file.firstExtraInteger;
        loaded.header.Flags = file.secondExtraInteger;
        loaded.setMap(std::move(file.map));
        documents()[document] = std::move(loaded);
        report("Map " + std::string(path) + " (" + std::to_string(file.nx) + " x " + std::to_string(file.ny) + " x " +
               std::to_string(file.nz) + ") is shown on " + document);
        return true;
    } catch (const std::exception& e) {
        report(std::string("Cannot load the map ") + path + ": " + e.what());
        return false;
    }
}
}
