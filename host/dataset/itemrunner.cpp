// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/itemrunner.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "boundary/hoststate.h"
#include "correction/combination.h"
#include "correction/correction.h"
#include "correction/motionexport.h"
#include "correction/runreport.h"
#include "dataset/gradientechoitem.h"
#include "dataset/itempictures.h"
#include "dataset/outputfiles.h"
#include "files/fileidentity.h"
#include "files/motionfile.h"
#include "files/filenames.h"
#include "nifti/niftifile.h"

namespace fs = std::filesystem;

namespace {

// The image's listed volumes exist.
void requireListedVolumes(const ItemImage& image, const NiftiInfo& info)
{
    if (image.volumes.empty()) throw std::runtime_error("No volume of " + image.relative + " to estimate from.");
    for (const int index : image.volumes)
        if (index < 0 || index >= info.volumes)
            throw std::runtime_error(image.relative + " has no volume " + std::to_string(index) + ".");
}

// The listed volumes of the image, in their order, as one image with the source's geometry:
// the precise estimate keeps each volume's own gain (and, with --motion, position). Read
// volume by volume up to the last one listed.
std::string selectedVolumesImage(const ItemImage& image, const fs::path& folder)
{
    NiftiVolumeReader source(image.path);
    requireListedVolumes(image, source.info());
    std::vector<Volume> selected(image.volumes.size());
    const int last = *std::max_element(image.volumes.begin(), image.volumes.end());
    for (int index = 0; index <= last; ++index) {
        const Volume volume = source.next();
        for (std::size_t k = 0; k < image.volumes.size(); ++k)
            if (image.volumes[k] == index) selected[k] = volume;
    }
    fs::create_directories(folder);
    const std::string path = (folder / (imageStem(image.path) + ".nii.gz")).string();
    writeNiftiLike(path, selected, NiftiStorage::Float32, image.path, "VARNO the pair's volumes");
    return path;
}

// The mean of the listed volumes, written as a 3-D image with the source's geometry.
std::string averagedImage(const ItemImage& image, const fs::path& folder)
{
    NiftiVolumeReader source(image.path);
    const NiftiInfo info = source.info();
    requireListedVolumes(image, info);
    // Volume by volume up to the last one listed, adding each listed one as often as listed.
    std::vector<double> sum(voxelCount(info.extent), 0.0);
    const int last = *std::max_element(image.volumes.begin(), image.volumes.end());
    for (int index = 0; index <= last; ++index) {
        const Volume volume = source.next();
        const auto times = std::count(image.volumes.begin(), image.volumes.end(), index);
        for (long n = 0; n < times; ++n)
            for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += volume[i];
    }
    Volume mean(info.extent);
    for (std::size_t i = 0; i < sum.size(); ++i) mean[i] = static_cast<float>(sum[i] / static_cast<double>(image.volumes.size()));
    fs::create_directories(folder);
    const std::string path = (folder / (imageStem(image.path) + ".nii.gz")).string();
    writeNiftiLike(path, {mean}, NiftiStorage::Float32, image.path, "VARNO mean of the pair's volumes");
    return path;
}

nlohmann::json agreementJson(const QcAgreement& agreement)
{
    return {{"Before", {{"Correlation", agreement.correlationBefore}, {"MeanSquaredDifference", agreement.meanSquaredBefore}}},
            {"After", {{"Correlation", agreement.correlationAfter}, {"MeanSquaredDifference", agreement.meanSquaredAfter}}}};
}

// Whether the pair is estimated from its volumes one by one: with the precise estimate,
// when a direction has more than one.
bool usesEveryVolume(const WorkItem& item, const EstimateChoices& choices)
{
    return choices.precise && (item.first.volumes.size() > 1 || item.second.volumes.size() > 1);
}

std::string methodText(const WorkItem& item, const CorrectionMethod& method, const EstimateChoices& choices)
{
    const std::string volumes =
        usesEveryVolume(item, choices)
            ? ", from " + std::to_string(item.first.volumes.size()) + " and " + std::to_string(item.second.volumes.size()) +
                  " volumes, each with its own gain" + (choices.motion ? " and position" : "")
            : ", each direction averaged over its volumes";
    return "VARNO " + method.estimate + " of the displacement from a " + item.method + volumes +
           (method.note.empty() ? "" : ". " + method.note);
}

nlohmann::json fieldmapSidecar(const WorkItem& item, const CorrectionMethod& method, const EstimateChoices& choices,
                               const QcAgreement& agreement)
{
    nlohmann::json intended = nlohmann::json::array();
    for (const ItemTarget& target : item.targets) intended.push_back(rawDatasetUri(target.image.relative));
    return {{"Units", "Hz"},
            {"FieldMapKind", "epi"},
            {"Description", "Off-resonance field estimated from " + item.first.relative + " (" +
                                item.first.phaseEncodingDirection + ") and " + item.second.relative + " (" +
                                item.second.phaseEncodingDirection + ")"},
            {"EstimationMethod", methodText(item, method, choices)},
            {"IntendedFor", intended},
            {"B0FieldIdentifier", item.b0FieldIdentifier.empty() ? item.name : item.b0FieldIdentifier},
            {"Sources", {rawDatasetUri(item.first.relative), rawDatasetUri(item.second.relative)}},
            {"TotalReadoutTime", *item.first.totalReadoutTime},
            {"TotalReadoutTimeSource", item.first.readoutTimeRule},
            {"SignConvention", "An image acquired with PhaseEncodingDirection j (or i) is displaced by field x "
                               "TotalReadoutTime voxels along +j (+i); one acquired with j- (i-) by the same along -j (-i)."},
            {"Agreement", agreementJson(agreement)}};
}

nlohmann::json runSidecar(const WorkItem& item, const ItemTarget& target, const CorrectionRun& run,
                          const CorrectionMethod& method)
{
    nlohmann::json content = target.metadata;
    content["Description"] = "Distortion-corrected by VARNO with the field " + item.fieldmap + " (" + target.why + ")";
    content["Sources"] = {rawDatasetUri(target.image.relative), "bids::" + item.fieldmap};
    content["DistortionCorrection"] = {
        {"FieldMap", "bids::" + item.fieldmap},
        {"CarriedToRunGrid", run.carried},
        {"PhaseEncodingDirection", target.image.phaseEncodingDirection},
        {"EstimationMethod", method.estimate},
        {"IntensityCorrection", method.intensityCorrection}};
    return content;
}

// The estimate's motion file of one direction, its rows counting the volumes of the image
// the pair's volumes were taken from (row k of the pair is volume volumes[k]), written to path.
std::string motionOfRun(const std::string& estimated, const std::vector<int>& volumes, const fs::path& path)
{
    std::vector<VolumeMotionRow> rows = readMotionFile(estimated);
    if (!volumes.empty())
        for (VolumeMotionRow& row : rows) row.volume = static_cast<unsigned>(volumes.at(row.volume));
    writeMotionFile(path.string(), rows);
    return path.string();
}

// With the head's motion estimated, the pairs whose runs are the images the pair's
// volumes came from are combined with it; the others are taken as aligned.
void useItemMotion(const WorkItem& item, const EstimateChoices& choices, const fs::path& work,
                   std::vector<CombinedRuns>& combined)
{
    if (!choices.motion) return;
    const HostState& state = hostState();
    const auto first = state.stringParameters.find("motion_file0"), second = state.stringParameters.find("motion_file1");
    if (first == state.stringParameters.end() || second == state.stringParameters.end()) return;
    for (std::size_t index = 0; index < combined.size(); ++index) {
        const ItemTarget& plus = item.targets[static_cast<std::size_t>(item.combinations[index].plus)];
        const ItemTarget& minus = item.targets[static_cast<std::size_t>(item.combinations[index].minus)];
        if (!sameFile(plus.image.path, item.first.path) || !sameFile(minus.image.path, item.second.path)) {
            std::cout << "  " << plus.image.relative << " and " << minus.image.relative
                      << ": the head's motion is known in the pair's runs only; combined as aligned\n";
            continue;
        }
        const std::string stem = "combined-" + std::to_string(index);
        combined[index].motion = {motionOfRun(first->second, item.first.volumes, work / (stem + "-plus_motion.tsv")),
                                  motionOfRun(second->second, item.second.volumes, work / (stem + "-minus_motion.tsv"))};
        combined[index].motionText = "that the estimate found from the volumes of both runs";
    }
}

// The sidecar of a combined run: the plus run's inherited metadata, without its single
// phase-encoding direction, naming both sources and the field.
nlohmann::json combinedRunSidecar(const WorkItem& item, const ItemCombination& combination, const CombinedRuns& pair,
                                  const CorrectionMethod& method)
{
    const ItemTarget& plus = item.targets[static_cast<std::size_t>(combination.plus)];
    const ItemTarget& minus = item.targets[static_cast<std::size_t>(combination.minus)];
    nlohmann::json content = plus.metadata;
    content.erase("PhaseEncodingDirection");
    const nlohmann::json sources = {rawDatasetUri(plus.image.relative), rawDatasetUri(minus.image.relative)};
    content["Description"] = "Combination by VARNO of " + plus.image.relative + " and " + minus.image.relative +
                             ", one run acquired once in each direction, with the field " + item.fieldmap +
                             ": least-squares restoration where the field compresses a copy, the mean of the "
                             "intensity-corrected copies where it is mild; values below 0 clipped to 0";
    content["Sources"] = {sources[0], sources[1], "bids::" + item.fieldmap};
    content["DistortionCorrection"] = {
        {"FieldMap", "bids::" + item.fieldmap},
        {"Combined", true},
        {"CombinedFrom", sources},
        {"PhaseEncodingDirections", {plus.image.phaseEncodingDirection, minus.image.phaseEncodingDirection}},
        {"MotionBetweenCopies", motionBetweenCopiesText(pair)},
        {"EstimationMethod", method.estimate}};
    return content;
}

}  // namespace

std::string workFolderOf(const WorkItem& item)
{
    return (fs::path(item.outputFolder) / ".work" / (item.name + processTag())).string();
}

int runWorkItem(const WorkItem& item, const ItemSettings& settings)
{
    if (!item.pair()) return runGradientEchoItem(item, settings);
    const EstimateChoices& choices = settings.choices;
    const fs::path work = workFolderOf(item);
    const fs::path out = item.outputFolder;
    fs::remove_all(work);
    std::cout << "Work item " << item.name << ": " << item.method << " " << item.first.relative << " ("
              << item.first.phaseEncodingDirection << ") and " << item.second.relative << " ("
              << item.second.phaseEncodingDirection << "), " << item.targets.size() << " runs to correct\n";

    Correction correction;
    const bool everyVolume = usesEveryVolume(item, choices);
    correction.ap = everyVolume ? selectedVolumesImage(item.first, work / "pair") : averagedImage(item.first, work / "pair");
    correction.pa = everyVolume ? selectedVolumesImage(item.second, work / "pair") : averagedImage(item.second, work / "pair");
    correction.folder = work;
    correction.choices = choices;
    correction.choices.volume0 = 0;
    correction.choices.volume1 = 0;
    correction.choices.volumes0 = everyVolume ? "all" : "";
    correction.choices.volumes1 = everyVolume ? "all" : "";
    correction.metadata.first = *parsePhaseEncoding(item.first.phaseEncodingDirection);
    correction.metadata.second = *parsePhaseEncoding(item.second.phaseEncodingDirection);
    correction.metadata.totalReadoutTime = item.first.totalReadoutTime;
    addPair(correction);
    for (const ItemTarget& target : item.targets) {
        std::cout << "  " << target.image.relative << ": " << target.why << '\n';
        addRun(correction, target.image.path, *parsePhaseEncoding(target.image.phaseEncodingDirection),
               target.image.totalReadoutTime);
    }
    nameRuns(correction);
    importRuns(correction);
    CorrectionMethod method;
    if (const int status = estimateAndApply(correction, method); status != 0) return status;
    std::vector<std::string> written;
    std::vector<CombinedRuns> combined;
    for (const ItemCombination& combination : item.combinations) {
        CombinedRuns pair;
        pair.plus = static_cast<std::size_t>(combination.plus) + 2;
        pair.minus = static_cast<std::size_t>(combination.minus) + 2;
        const CorrectionRun& plus = correction.runs[pair.plus];
        pair.output = (work / ("combined-" + std::to_string(combined.size()) + ".nii.gz")).string();
        pair.project = insertSuffix(plus.project, "_combined");
        pair.gradients = requirePairedRuns(plus.image, correction.runs[pair.minus].image, plus.grid.volumes);
        combined.push_back(std::move(pair));
    }
    useItemMotion(item, choices, work, combined);
    if (const int status = combineCorrectedRuns(correction, combined, written); status != 0) return status;
    exportCorrectedRuns(correction, method, written);
    exportMaps(correction, method, written);
    exportMotion(correction, written);
    const CorrectionQc qc = writeQc(correction, written);
    for (const std::string& line : qc.result.summary) std::cout << line << '\n';

    // Everything is complete in the work folder; now it moves into its names.
    nlohmann::json targets = nlohmann::json::array();
    for (std::size_t index = 0; index < item.targets.size(); ++index) {
        const ItemTarget& target = item.targets[index];
        const CorrectionRun& run = correction.runs[index + 2];
        // The map each run was corrected with: its own when carried, else the pair's of its direction.
        const std::size_t pairRun = run.direction == correction.runs[0].direction ? 0 : 1;
        const CorrectedRun corrected =
            readCorrectedRun(run, run.output, mapPath(run.carried ? run.project : correction.runs[pairRun].project));
        nlohmann::json pictures = placeRunPictures(target, run, corrected, settings.convention, work, out);
        const std::string output = (out / target.output).string();
        writeFileAtomically(sidecarPath(output), runSidecar(item, target, run, method).dump(2) + "\n");
        if (!target.bval.empty()) copyIntoPlace(target.bval, withoutNiftiExtension(output) + ".bval");
        if (!target.bvec.empty()) copyIntoPlace(target.bvec, withoutNiftiExtension(output) + ".bvec");
        moveIntoPlace(run.output, output);
        pictures.update({{"source", target.image.relative},
                         {"output", target.output},
                         {"why", target.why},
                         {"carried", run.carried},
                         {"PhaseEncodingDirection", target.image.phaseEncodingDirection}});
        targets.push_back(std::move(pictures));
    }
    nlohmann::json combinedRecords = nlohmann::json::array();
    for (std::size_t index = 0; index < combined.size(); ++index) {
        const ItemCombination& combination = item.combinations[index];
        const std::string output = (out / combination.output).string();
        writeFileAtomically(sidecarPath(output), combinedRunSidecar(item, combination, combined[index], method).dump(2) + "\n");
        const std::string staged = withoutNiftiExtension(combined[index].output);
        if (!combined[index].gradients.bval.empty()) {
            moveIntoPlace(staged + ".bval", withoutNiftiExtension(output) + ".bval");
            moveIntoPlace(staged + ".bvec", withoutNiftiExtension(output) + ".bvec");
        }
        moveIntoPlace(combined[index].output, output);
        combinedRecords.push_back({{"sources", {item.targets[static_cast<std::size_t>(combination.plus)].image.relative,
                                        item.targets[static_cast<std::size_t>(combination.minus)].image.relative}},
                           {"output", combination.output},
                           {"why", "one run acquired in both directions, combined by least squares"}});
    }
    const std::string fieldmap = (out / item.fieldmap).string();
    writeFileAtomically(sidecarPath(fieldmap), fieldmapSidecar(item, method, choices, qc.result.analysis.agreement).dump(2) + "\n");
    moveIntoPlace((work / "field_hz.nii.gz").string(), fieldmap);
    moveIntoPlace((work / "qc.png").string(), (out / item.picture).string());

    const nlohmann::json record = {{"name", item.name},
                                   {"subject", item.subject},
                                   {"session", item.session},
                                   {"method", methodText(item, method, choices)},
                                   {"fieldMapKind", item.fieldMapKind},
                                   {"first", {{"source", item.first.relative}, {"PhaseEncodingDirection", item.first.phaseEncodingDirection}}},
                                   {"second", {{"source", item.second.relative}, {"PhaseEncodingDirection", item.second.phaseEncodingDirection}}},
                                   {"fieldmap", item.fieldmap},
                                   {"picture", item.picture},
                                   {"targets", targets},
                                   {"combined", combinedRecords},
                                   {"Agreement", agreementJson(qc.result.analysis.agreement)},
                                   {"outputs", item.outputs()}};
    writeFileAtomically((out / item.record).string(), record.dump(2) + "\n");
    fs::remove_all(work);
    std::cout << "Work item " << item.name << " done.\n";
    return 0;
}
