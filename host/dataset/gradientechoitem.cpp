// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/gradientechoitem.h"

#include <filesystem>
#include <iostream>

#include "correction/fieldmapcorrection.h"
#include "correction/fieldmapreport.h"
#include "dataset/itempictures.h"
#include "dataset/outputfiles.h"
#include "report/drawing.h"

namespace fs = std::filesystem;

namespace {

FieldMapInputs inputsOf(const WorkItem& item)
{
    FieldMapInputs inputs;
    inputs.kind = item.fieldMapKind == fieldMapKindKey(FieldMapKind::TwoPhases)  ? FieldMapKind::TwoPhases
                  : item.fieldMapKind == fieldMapKindKey(FieldMapKind::FieldInHertz) ? FieldMapKind::FieldInHertz
                                                                                    : FieldMapKind::PhaseDifference;
    for (const ItemFieldMapImage& image : item.fieldMapImages) {
        const FieldMapImage read{image.path, image.relative, image.metadata, "the sidecars of " + image.relative};
        if (image.role == "phasediff" || image.role == "phase1" || image.role == "fieldmap") inputs.phase = read;
        if (image.role == "phase2") inputs.phase2 = read;
        if (image.role == "magnitude1" || image.role == "magnitude") inputs.magnitude = read;
        if (image.role == "magnitude2") inputs.magnitude2 = read;
    }
    return inputs;
}

nlohmann::json runSidecar(const WorkItem& item, const ItemTarget& target, const CorrectedRun& result,
                          const FieldMap& map, bool intensityCorrection)
{
    nlohmann::json content = target.metadata;
    content["Description"] = "Distortion-corrected by VARNO with the " + fieldMapKindText(map.inputs.kind) + " field " +
                             item.fieldmap + " (" + target.why + ")";
    content["Sources"] = {rawDatasetUri(target.image.relative), "bids::" + item.fieldmap};
    content["DistortionCorrection"] = {{"FieldMap", "bids::" + item.fieldmap},
                                       {"FieldMapKind", item.fieldMapKind},
                                       {"CarriedToRunGrid", true},
                                       {"PhaseEncodingDirection", target.image.phaseEncodingDirection},
                                       {"TotalReadoutTime", *target.image.totalReadoutTime},
                                       {"TotalReadoutTimeSource", target.image.readoutTimeRule},
                                       {"CoveredFraction", result.covered},
                                       {"IntensityCorrection", intensityCorrection}};
    return content;
}

}  // namespace

int runGradientEchoItem(const WorkItem& item, const ItemSettings& settings)
{
    const fs::path work = workFolderOf(item);
    const fs::path out = item.outputFolder;
    fs::remove_all(work);
    std::cout << "Work item " << item.name << ": " << item.method << " (" << item.fieldMapKind << ") "
              << item.fieldMapImages.front().relative << ", " << item.targets.size() << " runs to correct\n";

    FieldMapCorrection correction;
    correction.inputs = inputsOf(item);
    correction.settings.smoothingMm = settings.fieldSmoothingMm;
    correction.folder = work;
    correction.intensityCorrection = settings.choices.intensityCorrection;
    correction.convention = settings.convention;
    for (const ItemTarget& target : item.targets)
        correction.runs.push_back(fieldMapRun(target.image.path, *parsePhaseEncoding(target.image.phaseEncodingDirection),
                                              "sidecar", {*target.image.totalReadoutTime, target.image.readoutTimeRule}));
    nameRuns(correction.runs, work);
    fs::create_directories(work / "projects");

    const FieldMap map = buildFieldMap(correction.inputs, correction.settings);
    for (const std::string& note : map.notes) std::cout << "Note: " << note << '\n';
    if (map.estimate.unwrapping) std::cout << "Unwrapping: " << unwrappingCheckText(*map.estimate.unwrapping) << '\n';

    nlohmann::json targets = nlohmann::json::array();
    nlohmann::json refused = nlohmann::json::array();
    nlohmann::json intended = nlohmann::json::array();
    for (std::size_t index = 0; index < item.targets.size(); ++index) {
        const ItemTarget& target = item.targets[index];
        const CorrectionRun& run = correction.runs[index];
        std::cout << "  " << target.image.relative << ": " << target.why << '\n';
        CorrectedRun result;
        try {
            if (const int status = correctRunWithField(correction, map, run, result); status != 0) return status;
        } catch (const FieldCoverageError& error) {
            std::cout << "Not corrected: " << error.what() << '\n';
            refused.push_back({{"source", target.image.relative}, {"why", target.why}, {"reason", error.what()}});
            continue;
        }
        std::vector<std::string> written;
        exportFieldMapRun(correction, map, run, result, "bids::" + item.fieldmap, written);
        nlohmann::json entry = placeRunPictures(target, run, result, settings.convention, work, out);
        const std::string output = (out / target.output).string();
        writeFileAtomically(sidecarPath(output),
                            runSidecar(item, target, result, map, correction.intensityCorrection).dump(2) + "\n");
        moveIntoPlace(run.output, output);
        const ReportFact fact = runFact(run, result);
        entry.update({{"source", target.image.relative},
                      {"output", target.output},
                      {"why", target.why},
                      {"carried", true},
                      {"PhaseEncodingDirection", target.image.phaseEncodingDirection},
                      {"TotalReadoutTime", *target.image.totalReadoutTime},
                      {"Displacement", fact.value},
                      {"CoveredFraction", result.covered}});
        targets.push_back(std::move(entry));
        intended.push_back(rawDatasetUri(target.image.relative));
    }

    std::vector<std::string> written;
    nlohmann::json sources = nlohmann::json::array();
    for (const ItemFieldMapImage& image : item.fieldMapImages) sources.push_back(rawDatasetUri(image.relative));
    exportField(correction, map, "field.nii.gz",
                {{"IntendedFor", intended},
                 {"B0FieldIdentifier", item.b0FieldIdentifier.empty() ? item.name : item.b0FieldIdentifier},
                 {"Sources", sources}},
                written);
    const std::string fieldmap = (out / item.fieldmap).string();
    moveIntoPlace((work / "field.json").string(), sidecarPath(fieldmap));
    moveIntoPlace((work / "field.nii.gz").string(), fieldmap);
    const std::string picture = (work / "field.png").string();
    writeBytes(picture, fieldPicturePng(map, settings.convention));
    moveIntoPlace(picture, (out / item.picture).string());

    nlohmann::json facts = nlohmann::json::array();
    for (const ReportFact& fact : fieldFacts(map))
        facts.push_back({{"key", fact.key}, {"label", fact.label}, {"value", fact.value}, {"detail", fact.detail}});
    nlohmann::json images = nlohmann::json::array();
    for (const ItemFieldMapImage& image : item.fieldMapImages)
        images.push_back({{"role", image.role}, {"source", image.relative}});
    const nlohmann::json record = {{"name", item.name},
                                   {"subject", item.subject},
                                   {"session", item.session},
                                   {"method", "VARNO field in Hz from the " + fieldMapKindText(map.inputs.kind) + " " +
                                                  item.fieldMapImages.front().relative + " (" + map.stored + ")"},
                                   {"fieldMapKind", item.fieldMapKind},
                                   {"fieldMapImages", images},
                                   {"fieldmap", item.fieldmap},
                                   {"picture", item.picture},
                                   {"targets", targets},
                                   {"refused", refused},
                                   {"Field", facts},
                                   {"outputs", item.outputs()}};
    writeFileAtomically((out / item.record).string(), record.dump(2) + "\n");
    fs::remove_all(work);
    std::cout << "Work item " << item.name << " done.\n";
    return 0;
}
