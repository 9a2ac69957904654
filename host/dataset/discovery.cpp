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
#include "dataset/inheritance.h"
#include "nifti/bidsmetadata.h"
#include "nifti/niftifile.h"

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

std::vector<std::string> stringList(const nlohmann::json& content, const std::string& key)
{
    std::vector<std::string> values;
    const auto entry = content.find(key);
    if (entry == content.end()) return values;
    if (entry->is_string()) values.push_back(entry->get<std::string>());
    if (entry->is_array())
        for (const nlohmann::json& value : *entry)
            if (value.is_string()) values.push_back(value.get<std::string>());
    return values;
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
    const auto readout = content.find("TotalReadoutTime");
    if (readout != content.end() && readout->is_number() && readout->get<double>() > 0.0 &&
        std::isfinite(readout->get<double>())) {
        if (plausibleReadoutTime(readout->get<double>()))
            image.readoutTime = readout->get<double>();
        else if (image.problem.empty())
            image.problem = "\"TotalReadoutTime\" is " + readout->dump() + " in " + sidecarsText(image.metadata) +
                            "; it must be a number of seconds from 0.001 s to 1 s";
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
    return {image.path, image.relative, image.direction ? image.direction->text() : "", image.readoutTime, {}};
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
        for (const Candidate& image : fieldMaps) plan.inputs.push_back(image.relative);
        for (const Candidate& image : runs) plan.inputs.push_back(image.relative);
        pairFieldMaps(fieldMaps);
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

    // Groups by B0FieldIdentifier, else by the name without its direction.
    void pairFieldMaps(const std::vector<Candidate>& fieldMaps)
    {
        std::map<std::string, std::vector<const Candidate*>> groups;
        for (const Candidate& image : fieldMaps) {
            const std::vector<std::string> identifiers = stringList(image.metadata.content, "B0FieldIdentifier");
            groups[identifiers.empty() ? "name " + image.name.with("dir", "").text() : "id " + identifiers.front()]
                .push_back(&image);
        }
        for (const auto& [key, members] : groups) {
            std::vector<const Candidate*> usable;
            for (const Candidate* image : members) {
                if (image->problem.empty())
                    usable.push_back(image);
                else
                    problem(image->relative, "field map not usable: " + image->problem);
            }
            const std::vector<std::string> identifiers = stringList(members[0]->metadata.content, "B0FieldIdentifier");
            if (const std::string why = pairProblem(usable); !why.empty() || usable.empty()) {
                for (const Candidate* image : usable) problem(image->relative, why);
                for (const auto& [relative, named] : namedTargets(members, identifiers)) {
                    if (!refused.insert(relative).second) continue;
                    problem(relative, "not corrected (" + named + "): the field maps cannot be paired");
                }
                continue;
            }
            WorkItem item = newItem("field-map pair", *usable[0], *usable[1]);
            item.first.volumes = allVolumes(usable[0]->path);
            item.second.volumes = allVolumes(usable[1]->path);
            item.b0FieldIdentifier = identifiers.empty() ? "" : identifiers.front();
            addTargets(item, members, identifiers);
            if (settings.combine) pairTwins(item);
            plan.items.push_back(std::move(item));
        }
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
        if (!a.readoutTime || !b.readoutTime)
            return "cannot be paired: no \"TotalReadoutTime\" for " + (!a.readoutTime ? a.relative : b.relative) +
                   " in " + sidecarsText((!a.readoutTime ? a : b).metadata) + "; the field in Hz needs it";
        if (std::abs(*a.readoutTime - *b.readoutTime) > 1e-6 * *a.readoutTime)
            return "cannot be paired: \"TotalReadoutTime\" differs between " + a.relative + " and " + b.relative;
        try {
            if (readNiftiInfo(a.path).extent != readNiftiInfo(b.path).extent)
                return "cannot be paired: " + a.relative + " and " + b.relative + " differ in extent";
        } catch (const std::exception& error) {
            return std::string("cannot be paired: ") + error.what();
        }
        return "";
    }

    WorkItem newItem(const std::string& method, const Candidate& first, const Candidate& second)
    {
        WorkItem item;
        const std::string id = std::to_string(nextId++);
        item.name = prefix + "_fmapid-" + id;
        item.subject = plan.subject;
        item.session = plan.session;
        item.method = method;
        item.first = itemImage(first);
        item.second = itemImage(second);
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

    // The runs an IntendedFor names, below the dataset's folder.
    std::vector<std::string> intendedFor(const Candidate& fieldMap) const
    {
        std::vector<std::string> targets;
        for (const std::string& value : stringList(fieldMap.metadata.content, "IntendedFor")) {
            if (value.rfind("bids::", 0) == 0)
                targets.push_back(fs::path(value.substr(6)).lexically_normal().generic_string());
            else
                targets.push_back(relativeTo((fs::path(subjectFolder) / value).string(), root));
        }
        return targets;
    }

    // The runs the group's IntendedFor and B0FieldIdentifier name, each once, with why;
    // names of missing files are problems of the field map that gives them.
    std::vector<std::pair<std::string, std::string>> namedTargets(const std::vector<const Candidate*>& members,
                                                                  const std::vector<std::string>& identifiers)
    {
        std::vector<std::pair<std::string, std::string>> named;
        std::set<std::string> seen;
        const auto add = [&](const std::string& relative, const std::string& why) {
            if (seen.insert(relative).second) named.emplace_back(relative, why);
        };
        for (const Candidate* member : members) {
            const std::vector<std::string> targets = intendedFor(*member);
            const std::vector<std::string> values = stringList(member->metadata.content, "IntendedFor");
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
                    add(target, "IntendedFor of " + member->relative);
                else if (seen.insert("refused " + values[index]).second)
                    problem(member->relative, "IntendedFor names \"" + values[index] + "\", " + why);
            }
        }
        if (!identifiers.empty())
            for (const Candidate& run : runs)
                for (const std::string& source : stringList(run.metadata.content, "B0FieldSource"))
                    if (source == identifiers.front())
                        add(run.relative, "B0FieldSource \"" + source + "\" = B0FieldIdentifier of " + members[0]->relative);
        return named;
    }

    void addTargets(WorkItem& item, const std::vector<const Candidate*>& members,
                    const std::vector<std::string>& identifiers)
    {
        for (const auto& [relative, why] : namedTargets(members, identifiers)) addTarget(item, relative, why);
    }

    void addTarget(WorkItem& item, const std::string& relative, const std::string& why)
    {
        if (claimed.count(relative) != 0) {
            plan.notes.push_back({relative, "named by more than one field map; corrected with the first only (" + why + " is ignored)"});
            return;
        }
        const Candidate run = candidate(root, fs::path(root) / relative);
        if (!run.problem.empty()) {
            refused.insert(relative);
            problem(relative, "not corrected (" + why + "): " + run.problem);
            return;
        }
        // The same checks that "correct" makes: grid, readout times and axis.
        try {
            Correction check;
            check.ap = item.first.path;
            check.pa = item.second.path;
            check.metadata.first = *parsePhaseEncoding(item.first.phaseEncodingDirection);
            check.metadata.second = *parsePhaseEncoding(item.second.phaseEncodingDirection);
            check.metadata.totalReadoutTime = item.first.totalReadoutTime;
            addPair(check);
            addRun(check, run.path, *run.direction, run.readoutTime);
        } catch (const std::exception& error) {
            refused.insert(relative);
            problem(relative, "not corrected (" + why + "): " + error.what());
            return;
        }
        claimed.insert(relative);
        ItemTarget target;
        target.image = itemImage(run);
        target.why = why;
        const std::string folderOut = fs::path(relative).parent_path().generic_string();
        target.output = folderOut + "/" + run.name.with("desc", "sdc").text();
        const std::string extension = run.name.extension;
        target.output = target.output.substr(0, target.output.size() - extension.size()) + ".nii.gz";
        if (run.name.suffix == "dwi") {
            target.bval = gradientFile(run.path, ".bval");
            target.bvec = gradientFile(run.path, ".bvec");
        }
        target.metadata = run.metadata.content;
        item.targets.push_back(std::move(target));
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
            if (!members[0]->readoutTime || !members[1]->readoutTime) {
                for (const Candidate* run : members) {
                    refused.insert(run->relative);
                    problem(run->relative, "cannot be paired through the b = 0 volumes: no \"TotalReadoutTime\" for " +
                                               (!members[0]->readoutTime ? members[0] : members[1])->relative);
                }
                continue;
            }
            WorkItem item = newItem("diffusion b=0 pair", *members[0], *members[1]);
            item.first.volumes = first;
            item.second.volumes = second;
            for (const Candidate* run : members)
                addTarget(item, run->relative, "diffusion run paired through the b = 0 volumes of " +
                                                   members[0]->relative + " and " + members[1]->relative);
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
