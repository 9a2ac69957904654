// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/discovery.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "correction/correction.h"
#include "dataset/bidsname.h"
#include "dataset/fieldmapgroups.h"
#include "dataset/inheritance.h"
#include "nifti/bidsmetadata.h"
#include "nifti/niftifile.h"
#include "nifti/readouttime.h"

namespace fs = std::filesystem;

namespace {

// An image of the session with what its sidecars say.
struct Candidate {
    std::string path;
    std::string relative;
    BidsName name;
    InheritedMetadata metadata;
    std::optional<PhaseEncoding> direction;
    std::optional<double> readoutTime;
    std::string readoutTimeRule;  // how it was found (readouttime.h)
    std::string problem;  // why its metadata cannot be used
};

std::vector<std::string> labelsIn(const fs::path& folder, const std::string& key)
{
    std::vector<std::string> labels;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory() && name.rfind(key + "-", 0) == 0 && name.size() > key.size() + 1)
            labels.push_back(name.substr(key.size() + 1));
    }
    std::sort(labels.begin(), labels.end());
    return labels;
}

std::string relativeTo(const std::string& path, const std::string& root)
{
    return fs::path(path).lexically_normal().lexically_relative(fs::path(root).lexically_normal()).generic_string();
}

std::string sidecarsText(const InheritedMetadata& metadata)
{
    if (metadata.sources.empty()) return "it has no sidecar";
    std::string text;
    for (const std::string& source : metadata.sources) text += (text.empty() ? "" : ", ") + source;
    return "its sidecars (" + text + ")";
}

Candidate candidate(const std::string& root, const fs::path& path)
{
    Candidate image;
    image.path = path.string();
    image.relative = relativeTo(image.path, root);
    image.name = *parseBidsName(path.filename().string());
    try {
        image.metadata = inheritedMetadata(root, image.path);
    } catch (const std::exception& error) {
        image.problem = error.what();
        return image;
    }
    const nlohmann::json& content = image.metadata.content;
    const auto direction = content.find("PhaseEncodingDirection");
    if (direction == content.end()) {
        image.problem = "no \"PhaseEncodingDirection\" in " + sidecarsText(image.metadata);
    } else {
        image.direction = direction->is_string() ? parsePhaseEncoding(direction->get<std::string>()) : std::nullopt;
        if (!image.direction)
            image.problem = "\"PhaseEncodingDirection\" is " + direction->dump() + "; only i, i-, j and j- can be corrected";
    }
    try {
        std::optional<int> rows;
        const bool needsRows = !content.contains("TotalReadoutTime") && content.contains("EffectiveEchoSpacing") &&
                               !content.contains("ReconMatrixPE");
        if (needsRows && image.direction) {
            const Dimensions extent = readNiftiInfo(image.path).extent;
            rows = image.direction->axis == 'i' ? extent.x : extent.y;
        }
        if (const std::optional<ReadoutTime> time = readoutTimeFromMetadata(content, sidecarsText(image.metadata), rows)) {
            image.readoutTime = time->seconds;
            image.readoutTimeRule = time->rule;
        }
    } catch (const std::exception& error) {
        if (image.problem.empty()) image.problem = error.what();
    }
    return image;
}

// The NIfTI images of one folder with BIDS names and the suffix, sorted by name.
std::vector<Candidate> imagesIn(const std::string& root, const fs::path& folder, const std::string& suffix)
{
    std::vector<fs::path> paths;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const std::optional<BidsName> parsed = parseBidsName(name);
        if (entry.is_regular_file() && isNiftiName(name) && parsed && parsed->suffix == suffix)
            paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Candidate> images;
    for (const fs::path& path : paths) images.push_back(candidate(root, path));
    return images;
}

ItemImage itemImage(const Candidate& image)
{
    return {image.path, image.relative, image.direction ? image.direction->text() : "", image.readoutTime, {}, image.readoutTimeRule};
}

std::vector<int> allVolumes(const std::string& path)
{
    std::vector<int> volumes(static_cast<std::size_t>(readNiftiInfo(path).volumes));
    for (std::size_t v = 0; v < volumes.size(); ++v) volumes[v] = static_cast<int>(v);
    return volumes;
}

// STEM.bval or STEM.bvec beside the image; empty when missing.
std::string gradientFile(const std::string& image, const std::string& extension)
{
    const std::string path = withoutNiftiExtension(image) + extension;
    return fs::is_regular_file(path) ? path : std::string();
}

// Why two images cannot be one pair by their readout times: one is not known, or they differ.
std::string readoutTimeProblem(const Candidate& a, const Candidate& b)
{
    if (!a.readoutTime || !b.readoutTime)
        return "no readout time (\"TotalReadoutTime\", or \"EffectiveEchoSpacing\") for " +
               (!a.readoutTime ? a.relative : b.relative) + " in " + sidecarsText((!a.readoutTime ? a : b).metadata) +
               "; the field in Hz needs it";
    if (std::abs(*a.readoutTime - *b.readoutTime) > 1e-6 * std::max(*a.readoutTime, *b.readoutTime)) {
        std::ostringstream text;
        text << "the total readout time differs between " << a.relative << " (" << *a.readoutTime << " s, from "
             << a.readoutTimeRule << ") and " << b.relative << " (" << *b.readoutTime << " s, from " << b.readoutTimeRule
             << ")";
        return text.str();
    }
    return "";
}

std::string phrase(const Candidate& image)
{
    return image.relative + " (" + image.direction->text() + ")";
}

class SessionDiscovery {
public:
    SessionDiscovery(const DiscoverySettings& settings, const std::string& subject, const std::string& session)
        : settings(settings), root(settings.datasetFolder)
    {
        plan.subject = subject;
        plan.session = session;
        prefix = sessionPrefix(subject, session);
        subjectFolder = (fs::path(root) / ("sub-" + subject)).string();
        folder = session.empty() ? fs::path(subjectFolder) : fs::path(subjectFolder) / ("ses-" + session);
    }

    SessionPlan run()
    {
        const std::vector<Candidate> fieldMaps = imagesIn(root, folder / "fmap", "epi");
        runs = imagesIn(root, folder / "func", "bold");
        const std::vector<Candidate> diffusion = imagesIn(root, folder / "dwi", "dwi");
        runs.insert(runs.end(), diffusion.begin(), diffusion.end());
        const std::vector<FieldMapFile> gradientEcho = gradientEchoFiles(folder / "fmap");
        for (const Candidate& image : fieldMaps) plan.inputs.push_back(image.relative);
        for (const FieldMapFile& image : gradientEcho) plan.inputs.push_back(image.relative);
        for (const Candidate& image : runs) plan.inputs.push_back(image.relative);
        const GradientEchoGrouping grouping = groupGradientEchoFieldMaps(gradientEcho);
        for (const DatasetFinding& unused : grouping.unused) plan.notes.push_back(unused);
        planFieldMaps(fieldMaps, grouping);
        pairDiffusionRuns(diffusion);
        for (const Candidate& run : runs)
            if (claimed.count(run.relative) == 0 && !refused.count(run.relative))
                plan.notes.push_back({run.relative, "not corrected: no field map names it (IntendedFor or B0FieldSource)" +
                                                        std::string(run.name.suffix == "dwi"
                                                                        ? " and no diffusion run of the opposite "
                                                                          "direction pairs with it"
                                                                        : "")});
        return plan;
    }

private:
    const DiscoverySettings& settings;
    std::string root;
    std::string prefix;
    std::string subjectFolder;
    fs::path folder;
    SessionPlan plan;
    std::vector<Candidate> runs;
    std::set<std::string> claimed;  // runs given to an item
    std::set<std::string> refused;  // runs named but refused
    int nextId = 1;

    void problem(const std::string& file, const std::string& reason) { plan.problems.push_back({file, reason}); }

    // One field map of the session before it becomes a work item: a pair of opposite
    // phase-encoding acquisitions or a gradient-echo field map, with the runs it names.
    struct Source {
        std::vector<const Candidate*> pair;                  // a pair's two images
        const GradientEchoFieldMap* gradientEcho = nullptr;  // or a gradient-echo field map
        std::vector<std::string> identifiers;                // its B0FieldIdentifier
        std::string label;                                   // its first image, below the dataset's folder
        bool usable = false;
        std::vector<std::pair<std::string, std::string>> named;  // runs with why
        std::vector<std::pair<std::string, std::string>> chosen;  // those it corrects
    };

    // Every image of the session's fmap folder with a gradient-echo suffix.
    std::vector<FieldMapFile> gradientEchoFiles(const fs::path& fmap) const
    {
        std::vector<fs::path> paths;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fmap, error)) {
            const std::string name = entry.path().filename().string();
            const std::optional<BidsName> parsed = parseBidsName(name);
            if (entry.is_regular_file() && isNiftiName(name) && parsed && isGradientEchoSuffix(parsed->suffix))
                paths.push_back(entry.path());
        }
        std::sort(paths.begin(), paths.end());
        std::vector<FieldMapFile> files;
        for (const fs::path& path : paths) {
            FieldMapFile file;
            file.path = path.string();
            file.relative = relativeTo(file.path, root);
            file.name = *parseBidsName(path.filename().string());
            try {
                const InheritedMetadata metadata = inheritedMetadata(root, file.path);
                file.metadata = metadata.content;
                file.sidecars = sidecarsText(metadata);
            } catch (const std::exception& failure) {
                file.problem = failure.what();
            }
            files.push_back(std::move(file));
        }
        return files;
    }

    // Pairs grouped by B0FieldIdentifier, else by the name without its direction.
    void addPairSources(const std::vector<Candidate>& fieldMaps, std::vector<Source>& sources)
    {
        std::map<std::string, std::vector<const Candidate*>> groups;
        for (const Candidate& image : fieldMaps) {
            const std::vector<std::string> identifiers = metadataStrings(image.metadata.content, "B0FieldIdentifier");
            groups[identifiers.empty() ? "name " + image.name.with("dir", "").text() : "id " + identifiers.front()]
                .push_back(&image);
        }
        for (const auto& [key, members] : groups) {
            Source source;
            source.identifiers = metadataStrings(members[0]->metadata.content, "B0FieldIdentifier");
            source.label = members[0]->relative;
            std::vector<const Candidate*> usable;
            for (const Candidate* image : members) {
                if (image->problem.empty())
                    usable.push_back(image);
                else
                    problem(image->relative, "field map not usable: " + image->problem);
            }
            std::vector<std::pair<std::string, const nlohmann::json*>> images;
            for (const Candidate* image : members) images.emplace_back(image->relative, &image->metadata.content);
            source.named = namedTargets(images, source.identifiers);
            const std::string why = pairProblem(usable);
            for (const Candidate* image : usable)
                if (!why.empty()) problem(image->relative, why);
            source.usable = why.empty() && !usable.empty();
            if (source.usable) source.pair = usable;
            sources.push_back(std::move(source));
        }
    }

    void addGradientEchoSources(const GradientEchoGrouping& grouping, std::vector<Source>& sources)
    {
        for (const GradientEchoFieldMap& fieldMap : grouping.fieldMaps) {
            Source source;
            source.gradientEcho = &fieldMap;
            source.identifiers = fieldMap.identifiers;
            source.label = fieldMap.images.front()->relative;
            source.usable = fieldMap.problem.empty();
            if (!source.usable) {
                problem(source.label, fieldMap.problem);
                for (std::size_t index = 1; index < fieldMap.images.size(); ++index)
                    plan.notes.push_back({fieldMap.images[index]->relative,
                                          "field map not used: its " + fieldMap.roles.front() + " " + source.label +
                                              " cannot be used"});
            }
            std::vector<std::pair<std::string, const nlohmann::json*>> images;
            for (const FieldMapFile* image : fieldMap.images) images.emplace_back(image->relative, &image->metadata);
            source.named = namedTargets(images, source.identifiers);
            sources.push_back(std::move(source));
        }
    }

    // Each run named by field maps goes to one: the one its B0FieldSource names, else a
    // pair of opposite phase encoding, else the first; the others are told why not.
    void chooseSources(std::vector<Source>& sources)
    {
        std::vector<std::string> order;
        std::map<std::string, std::vector<std::pair<std::size_t, std::string>>> naming;  // usable sources per run
        std::map<std::string, std::string> refusedBy;  // the first unusable source per run
        for (std::size_t index = 0; index < sources.size(); ++index)
            for (const auto& [relative, why] : sources[index].named) {
                if (naming.count(relative) == 0 && refusedBy.count(relative) == 0) order.push_back(relative);
                if (sources[index].usable)
                    naming[relative].emplace_back(index, why);
                else if (refusedBy.count(relative) == 0)
                    refusedBy[relative] = why + (sources[index].gradientEcho ? "): its field map cannot be used"
                                                                             : "): the field maps cannot be paired");
            }
        for (const std::string& relative : order) {
            const auto named = naming.find(relative);
            if (named == naming.end()) {
                if (refused.insert(relative).second) problem(relative, "not corrected (" + refusedBy[relative]);
                continue;
            }
            const std::vector<std::pair<std::size_t, std::string>>& candidates = named->second;
            std::size_t pick = 0;
            std::string rule = "the first field map that names it";
            const nlohmann::json runMetadata = candidate(root, fs::path(root) / relative).metadata.content;
            bool decided = false;
            for (const std::string& wanted : metadataStrings(runMetadata, "B0FieldSource")) {
                for (std::size_t c = 0; c < candidates.size() && !decided; ++c)
                    for (const std::string& identifier : sources[candidates[c].first].identifiers)
                        if (identifier == wanted) {
                            pick = c;
                            rule = "its B0FieldSource \"" + wanted + "\"";
                            decided = true;
                        }
                if (decided) break;
            }
            if (!decided)
                for (std::size_t c = 0; c < candidates.size(); ++c)
                    if (!sources[candidates[c].first].gradientEcho) {
                        pick = c;
                        rule = "without a B0FieldSource that decides, the pair of opposite phase encoding";
                        break;
                    }
            const Source& chosen = sources[candidates[pick].first];
            sources[candidates[pick].first].chosen.emplace_back(relative, candidates[pick].second);
            for (std::size_t c = 0; c < candidates.size(); ++c)
                if (c != pick)
                    plan.notes.push_back({sources[candidates[c].first].label,
                                          "field map not used for " + relative + " (" + candidates[c].second + "): " +
                                              relative + " is corrected with " + chosen.label + " (" + rule + ")"});
        }
        // Each field map corrects its runs in the order it names them.
        for (Source& source : sources) {
            std::vector<std::pair<std::string, std::string>> ordered;
            for (const auto& named : source.named)
                if (std::find(source.chosen.begin(), source.chosen.end(), named) != source.chosen.end())
                    ordered.push_back(named);
            source.chosen = std::move(ordered);
        }
    }

    void planFieldMaps(const std::vector<Candidate>& fieldMaps, const GradientEchoGrouping& grouping)
    {
        std::vector<Source> sources;
        addPairSources(fieldMaps, sources);
        addGradientEchoSources(grouping, sources);
        chooseSources(sources);
        for (const Source& source : sources) {
            if (!source.usable) continue;
            if (source.gradientEcho) {
                std::vector<ItemTarget> targets;
                for (const auto& [relative, why] : source.chosen)
                    if (std::optional<ItemTarget> target = checkedTarget(nullptr, relative, why))
                        targets.push_back(std::move(*target));
                if (targets.empty()) {
                    const std::string reason = source.named.empty() ? "field map not used: no run names it (IntendedFor or "
                                                                      "B0FieldSource)"
                                               : source.chosen.empty()
                                                   ? "field map not used: every run it names is corrected with another "
                                                     "field map"
                                                   : "field map not used: none of the runs it names can be corrected";
                    for (const FieldMapFile* image : source.gradientEcho->images) plan.notes.push_back({image->relative, reason});
                    continue;
                }
                plan.items.push_back(gradientEchoItem(*source.gradientEcho, std::move(targets)));
                continue;
            }
            WorkItem item = newItem("field-map pair", source.pair[0], source.pair[1]);
            item.first.volumes = allVolumes(source.pair[0]->path);
            item.second.volumes = allVolumes(source.pair[1]->path);
            item.b0FieldIdentifier = source.identifiers.empty() ? "" : source.identifiers.front();
            for (const auto& [relative, why] : source.chosen)
                if (std::optional<ItemTarget> target = checkedTarget(&item, relative, why))
                    item.targets.push_back(std::move(*target));
            if (settings.combine) pairTwins(item);
            plan.items.push_back(std::move(item));
        }
    }

    WorkItem gradientEchoItem(const GradientEchoFieldMap& fieldMap, std::vector<ItemTarget> targets)
    {
        WorkItem item = newItem("gradient-echo field map", nullptr, nullptr);
        item.fieldMapKind = fieldMapKindKey(fieldMap.kind);
        item.b0FieldIdentifier = fieldMap.identifiers.empty() ? "" : fieldMap.identifiers.front();
        for (std::size_t index = 0; index < fieldMap.images.size(); ++index) {
            const FieldMapFile& image = *fieldMap.images[index];
            item.fieldMapImages.push_back({fieldMap.roles[index], image.path, image.relative, image.metadata});
        }
        item.targets = std::move(targets);
        return item;
    }

    std::string pairProblem(const std::vector<const Candidate*>& usable) const
    {
        if (usable.empty()) return "";
        if (usable.size() == 1)
            return "cannot be paired: it is the only field map of its group with a usable phase-encoding direction (" +
                   usable[0]->direction->text() + "); the acquisition in the opposite direction is missing";
        if (usable.size() > 2)
            return "cannot be paired: " + std::to_string(usable.size()) +
                   " field maps form one group (same B0FieldIdentifier, or names that differ only in dir); two of "
                   "opposite directions are needed";
        const Candidate& a = *usable[0];
        const Candidate& b = *usable[1];
        if (*a.direction == *b.direction)
            return "cannot be paired: " + phrase(a) + " and " + phrase(b) + " have the same phase-encoding direction";
        if (a.direction->axis != b.direction->axis)
            return "cannot be paired: " + phrase(a) + " and " + phrase(b) + " are encoded along different axes";
        if (const std::string why = readoutTimeProblem(a, b); !why.empty()) return "cannot be paired: " + why;
        try {
            if (readNiftiInfo(a.path).extent != readNiftiInfo(b.path).extent)
                return "cannot be paired: " + a.relative + " and " + b.relative + " differ in extent";
        } catch (const std::exception& error) {
            return std::string("cannot be paired: ") + error.what();
        }
        return "";
    }

    WorkItem newItem(const std::string& method, const Candidate* first, const Candidate* second)
    {
        WorkItem item;
        const std::string id = std::to_string(nextId++);
        item.name = prefix + "_fmapid-" + id;
        item.subject = plan.subject;
        item.session = plan.session;
        item.method = method;
        if (first) item.first = itemImage(*first);
        if (second) item.second = itemImage(*second);
        const std::string sessionFolder = relativeTo(folder.string(), root);
        item.fieldmap = sessionFolder + "/fmap/" + prefix + "_fmapid-" + id + "_desc-varno_fieldmap.nii.gz";
        item.picture = "sub-" + plan.subject + "/figures/" + prefix + "_fmapid-" + id + "_desc-qc.png";
        item.record = "sub-" + plan.subject + "/log/" + item.name + ".json";
        item.log = "sub-" + plan.subject + "/log/" + item.name + ".log";
        item.estimateOptions = settings.estimateOptions;
        item.datasetFolder = root;
        item.outputFolder = settings.outputFolder;
        return item;
    }

    // The runs an IntendedFor of a field-map image names, below the dataset's folder.
    std::vector<std::string> intendedFor(const nlohmann::json& metadata) const
    {
        std::vector<std::string> targets;
        for (const std::string& value : metadataStrings(metadata, "IntendedFor")) {
            if (value.rfind("bids::", 0) == 0)
                targets.push_back(fs::path(value.substr(6)).lexically_normal().generic_string());
            else
                targets.push_back(relativeTo((fs::path(subjectFolder) / value).string(), root));
        }
        return targets;
    }

    // The runs that the IntendedFor of a field map's images (below the dataset's folder,
    // with their sidecars) and its B0FieldIdentifier name, each once, with why; names of
    // missing files are problems of the field map that gives them.
    std::vector<std::pair<std::string, std::string>> namedTargets(
        const std::vector<std::pair<std::string, const nlohmann::json*>>& images, const std::vector<std::string>& identifiers)
    {
        std::vector<std::pair<std::string, std::string>> named;
        std::set<std::string> seen;
        const auto add = [&](const std::string& relative, const std::string& why) {
            if (seen.insert(relative).second) named.emplace_back(relative, why);
        };
        for (const auto& [image, metadata] : images) {
            const std::vector<std::string> targets = intendedFor(*metadata);
            const std::vector<std::string> values = metadataStrings(*metadata, "IntendedFor");
            for (std::size_t index = 0; index < targets.size(); ++index) {
                const std::string& target = targets[index];
                const std::string name = fs::path(target).filename().string();
                std::string why;
                if (target.rfind("..", 0) == 0 || fs::path(target).is_absolute())
                    why = "which lies outside the dataset";
                else if (!isNiftiName(name) || !parseBidsName(name))
                    why = "which is not a NIfTI image with a BIDS name";
                else if (!fs::is_regular_file(fs::path(root) / target))
                    why = "which does not exist";
                if (why.empty())
                    add(target, "IntendedFor of " + image);
                else if (seen.insert("refused " + values[index]).second)
                    problem(image, "IntendedFor names \"" + values[index] + "\", " + why);
            }
        }
        if (!identifiers.empty())
            for (const Candidate& run : runs)
                for (const std::string& source : metadataStrings(run.metadata.content, "B0FieldSource"))
                    if (source == identifiers.front())
                        add(run.relative, "B0FieldSource \"" + source + "\" = B0FieldIdentifier of " + images.front().first);
        return named;
    }

    // The run as a target of the pair's item, or (without one) of a gradient-echo field
    // map, after the checks that "correct" makes; nothing, with the problem, when it cannot
    // be corrected so.
    std::optional<ItemTarget> checkedTarget(const WorkItem* pairItem, const std::string& relative, const std::string& why)
    {
        const Candidate run = candidate(root, fs::path(root) / relative);
        std::string refusal = run.problem;
        if (refusal.empty() && !pairItem && !run.readoutTime)
            refusal = "no readout time (\"TotalReadoutTime\", or \"EffectiveEchoSpacing\") in " +
                      sidecarsText(run.metadata) + "; its displacement is the field times it";
        if (refusal.empty()) {
            try {
                if (pairItem) {
                    // Grid, readout times and axis against the pair.
                    Correction check;
                    check.ap = pairItem->first.path;
                    check.pa = pairItem->second.path;
                    check.metadata.first = *parsePhaseEncoding(pairItem->first.phaseEncodingDirection);
                    check.metadata.second = *parsePhaseEncoding(pairItem->second.phaseEncodingDirection);
                    check.metadata.totalReadoutTime = pairItem->first.totalReadoutTime;
                    addPair(check);
                    addRun(check, run.path, *run.direction, run.readoutTime);
                } else {
                    readNiftiInfo(run.path);
                }
            } catch (const std::exception& error) {
                refusal = error.what();
            }
        }
        if (!refusal.empty()) {
            refused.insert(relative);
            problem(relative, "not corrected (" + why + "): " + refusal);
            return std::nullopt;
        }
        claimed.insert(relative);
        ItemTarget target;
        target.image = itemImage(run);
        target.why = why;
        const std::string folderOut = fs::path(relative).parent_path().generic_string();
        const auto named = [&](const std::string& desc, const std::string& extension) {
            const std::string text = run.name.with("desc", desc).text();
            return text.substr(0, text.size() - run.name.extension.size()) + extension;
        };
        target.output = folderOut + "/" + named("sdc", ".nii.gz");
        target.beforePicture = "sub-" + plan.subject + "/figures/" + named("sdcbefore", ".svg");
        target.afterPicture = "sub-" + plan.subject + "/figures/" + named("sdcafter", ".svg");
        if (run.name.suffix == "dwi") {
            target.bval = gradientFile(run.path, ".bval");
            target.bvec = gradientFile(run.path, ".bvec");
        }
        target.metadata = run.metadata.content;
        return target;
    }

    // Targets whose names differ only in dir- and whose directions are opposite: one run
    // acquired in both directions, combined into one named without dir-.
    void pairTwins(WorkItem& item)
    {
        std::vector<bool> used(item.targets.size(), false);
        for (std::size_t a = 0; a < item.targets.size(); ++a)
            for (std::size_t b = a + 1; b < item.targets.size() && !used[a]; ++b) {
                const ItemImage& x = item.targets[a].image;
                const ItemImage& y = item.targets[b].image;
                const std::optional<BidsName> nameX = parseBidsName(fs::path(x.relative).filename().string());
                const std::optional<BidsName> nameY = parseBidsName(fs::path(y.relative).filename().string());
                const std::optional<PhaseEncoding> directionX = parsePhaseEncoding(x.phaseEncodingDirection);
                const std::optional<PhaseEncoding> directionY = parsePhaseEncoding(y.phaseEncodingDirection);
                if (used[b] || !nameX || !nameY || nameX->entity("dir").empty() ||
                    fs::path(x.relative).parent_path() != fs::path(y.relative).parent_path() ||
                    nameX->with("dir", "").text() != nameY->with("dir", "").text() || !directionX || !directionY ||
                    directionX->axis != directionY->axis || *directionX == *directionY)
                    continue;
                const bool plusFirst = x.phaseEncodingDirection == item.first.phaseEncodingDirection;
                const BidsName combined = (plusFirst ? *nameX : *nameY).with("dir", "").with("desc", "sdc");
                std::string output = fs::path(x.relative).parent_path().generic_string() + "/" + combined.text();
                output = output.substr(0, output.size() - combined.extension.size()) + ".nii.gz";
                item.combinations.push_back({static_cast<int>(plusFirst ? a : b), static_cast<int>(plusFirst ? b : a),
                                             output});
                used[a] = used[b] = true;
            }
    }

    // The volumes with b <= 50 of a diffusion run; empty with a problem when none.
    std::vector<int> lowBVolumes(const Candidate& run)
    {
        const std::string bval = gradientFile(run.path, ".bval");
        if (bval.empty()) {
            problem(run.relative, "cannot be paired through its b = 0 volumes: no .bval file beside it");
            return {};
        }
        std::ifstream file(bval);
        std::vector<int> volumes;
        double value = 0.0;
        for (int index = 0; file >> value; ++index)
            if (value <= 50.0) volumes.push_back(index);
        if (volumes.empty()) problem(run.relative, "cannot be paired through its b = 0 volumes: " + bval + " has no b-value of 50 or less");
        return volumes;
    }

    void pairDiffusionRuns(const std::vector<Candidate>& diffusion)
    {
        std::map<std::string, std::vector<const Candidate*>> groups;
        for (const Candidate& run : diffusion)
            if (claimed.count(run.relative) == 0 && refused.count(run.relative) == 0 && run.problem.empty())
                groups[run.name.with("dir", "").text()].push_back(&run);
        for (const auto& [key, members] : groups) {
            if (members.size() != 2 || members[0]->direction->axis != members[1]->direction->axis ||
                *members[0]->direction == *members[1]->direction)
                continue;  // reported as uncovered
            const std::vector<int> first = lowBVolumes(*members[0]);
            const std::vector<int> second = lowBVolumes(*members[1]);
            if (first.empty() || second.empty()) {
                for (const Candidate* run : members) refused.insert(run->relative);
                continue;
            }
            if (const std::string why = readoutTimeProblem(*members[0], *members[1]); !why.empty()) {
                for (const Candidate* run : members) {
                    refused.insert(run->relative);
                    problem(run->relative, "cannot be paired through the b = 0 volumes: " + why);
                }
                continue;
            }
            WorkItem item = newItem("diffusion b=0 pair", members[0], members[1]);
            item.first.volumes = first;
            item.second.volumes = second;
            for (const Candidate* run : members)
                if (std::optional<ItemTarget> target =
                        checkedTarget(&item, run->relative, "diffusion run paired through the b = 0 volumes of " +
                                                                members[0]->relative + " and " + members[1]->relative))
                    item.targets.push_back(std::move(*target));
            if (settings.combine) pairTwins(item);
            plan.items.push_back(std::move(item));
        }
    }
};

}  // namespace

std::vector<std::string> datasetSubjects(const std::string& datasetFolder)
{
    return labelsIn(datasetFolder, "sub");
}

std::vector<std::string> subjectSessions(const std::string& datasetFolder, const std::string& subject)
{
    std::vector<std::string> sessions = labelsIn(fs::path(datasetFolder) / ("sub-" + subject), "ses");
    if (sessions.empty()) sessions.push_back("");
    return sessions;
}

std::string sessionPrefix(const std::string& subject, const std::string& session)
{
    return "sub-" + subject + (session.empty() ? "" : "_ses-" + session);
}

SessionPlan discoverSession(const DiscoverySettings& settings, const std::string& subject, const std::string& session)
{
    return SessionDiscovery(settings, subject, session).run();
}
