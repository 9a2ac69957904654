// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/fieldmapgroups.h"

#include <algorithm>
#include <map>

#include "dataset/inheritance.h"

namespace {

const std::vector<std::string> kSuffixes{"phasediff", "phase1", "phase2", "fieldmap", "magnitude1", "magnitude2", "magnitude"};

// The entities without the suffix: the images of one field map share them.
std::string entitiesOf(const BidsName& name)
{
    std::string key;
    for (const auto& [entity, label] : name.entities) key += entity + "-" + label + "_";
    return key;
}

const FieldMapFile* find(const std::map<std::string, const FieldMapFile*>& bySuffix, const std::string& suffix)
{
    const auto found = bySuffix.find(suffix);
    return found == bySuffix.end() ? nullptr : found->second;
}

// One field map from the images of one set of entities; the images it leaves out are
// reported as unused.
GradientEchoFieldMap fieldMapOf(const std::map<std::string, const FieldMapFile*>& bySuffix,
                                std::vector<DatasetFinding>& unused)
{
    GradientEchoFieldMap fieldMap;
    std::vector<std::string> wanted;
    std::vector<std::string> missing;
    if (find(bySuffix, "phasediff")) {
        fieldMap.kind = FieldMapKind::PhaseDifference;
        wanted = {"phasediff", "magnitude1", "magnitude2"};
        if (!find(bySuffix, "magnitude1")) missing.push_back("_magnitude1");
    } else if (find(bySuffix, "phase1") || find(bySuffix, "phase2")) {
        fieldMap.kind = FieldMapKind::TwoPhases;
        wanted = {"phase1", "phase2", "magnitude1", "magnitude2"};
        for (const char* suffix : {"phase1", "phase2", "magnitude1"})
            if (!find(bySuffix, suffix)) missing.push_back(std::string("_") + suffix);
    } else if (find(bySuffix, "fieldmap")) {
        fieldMap.kind = FieldMapKind::FieldInHertz;
        wanted = {"fieldmap", "magnitude"};
        if (!find(bySuffix, "magnitude")) missing.push_back("_magnitude");
    }
    for (const std::string& suffix : wanted)
        if (const FieldMapFile* file = find(bySuffix, suffix)) {
            fieldMap.images.push_back(file);
            fieldMap.roles.push_back(suffix);
        }
    const std::string kind = wanted.empty() ? "" : "_" + wanted.front();
    for (const auto& [suffix, file] : bySuffix)
        if (std::find(wanted.begin(), wanted.end(), suffix) == wanted.end())
            unused.push_back({file->relative, wanted.empty()
                                                  ? "field map not used: no _phasediff, _phase1 and _phase2, or _fieldmap "
                                                    "of the same entities beside it"
                                                  : "field map not used: the " + kind + " beside it does not take a _" +
                                                        suffix});
    if (fieldMap.images.empty()) return fieldMap;
    fieldMap.identifiers = metadataStrings(fieldMap.images.front()->metadata, "B0FieldIdentifier");
    for (const FieldMapFile* file : fieldMap.images)
        if (!file->problem.empty()) {
            fieldMap.problem = "field map not usable: " + file->problem;
            return fieldMap;
        }
    if (!missing.empty()) {
        std::string list;
        for (const std::string& suffix : missing) list += (list.empty() ? "" : " and ") + suffix;
        fieldMap.problem = "field map not usable: its " + list + " of the same entities is missing";
        return fieldMap;
    }
    try {
        const FieldMapInputs inputs = fieldMapInputsOf(fieldMap);
        std::vector<std::string> notes;
        if (fieldMap.kind == FieldMapKind::FieldInHertz)
            resolveFieldUnits(inputs.phase);
        else
            resolveEchoTimes(inputs, std::nullopt, "", notes);
    } catch (const MetadataError& error) {
        fieldMap.problem = std::string("field map not usable: ") + error.what();
    }
    return fieldMap;
}

}  // namespace

bool isGradientEchoSuffix(const std::string& suffix)
{
    return std::find(kSuffixes.begin(), kSuffixes.end(), suffix) != kSuffixes.end();
}

FieldMapInputs fieldMapInputsOf(const GradientEchoFieldMap& fieldMap)
{
    const auto image = [](const FieldMapFile& file) {
        return FieldMapImage{file.path, file.relative, file.metadata, file.sidecars};
    };
    FieldMapInputs inputs;
    inputs.kind = fieldMap.kind;
    for (std::size_t index = 0; index < fieldMap.images.size(); ++index) {
        const std::string& role = fieldMap.roles[index];
        const FieldMapImage read = image(*fieldMap.images[index]);
        if (role == "phasediff" || role == "phase1" || role == "fieldmap") inputs.phase = read;
        if (role == "phase2") inputs.phase2 = read;
        if (role == "magnitude1" || role == "magnitude") inputs.magnitude = read;
        if (role == "magnitude2") inputs.magnitude2 = read;
    }
    return inputs;
}

GradientEchoGrouping groupGradientEchoFieldMaps(const std::vector<FieldMapFile>& files)
{
    std::map<std::string, std::map<std::string, const FieldMapFile*>> byEntities;
    for (const FieldMapFile& file : files)
        if (isGradientEchoSuffix(file.name.suffix)) byEntities[entitiesOf(file.name)][file.name.suffix] = &file;
    GradientEchoGrouping grouping;
    for (const auto& [entities, bySuffix] : byEntities) {
        GradientEchoFieldMap fieldMap = fieldMapOf(bySuffix, grouping.unused);
        if (!fieldMap.images.empty()) grouping.fieldMaps.push_back(std::move(fieldMap));
    }
    return grouping;
}
