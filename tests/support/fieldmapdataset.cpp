// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fieldmapdataset.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

}  // namespace

std::string fieldMapDatasetRun(const std::string& letter)
{
    return "sub-01/func/sub-01_task-" + letter + "_bold.nii.gz";
}

FieldMapDataset writeFieldMapDataset(const std::string& root)
{
    FieldMapDataset dataset;
    dataset.root = root;
    const fs::path top = root;
    writeText(top / "dataset_description.json",
              nlohmann::json{{"Name", "VARNO field-map dataset"}, {"BIDSVersion", "1.9.0"}, {"DatasetType", "raw"}}.dump(2));
    writeText(top / "README", "A phantom with every kind of field map, for the tests of the dataset runs.\n");
    writeText(top / "participants.tsv", "participant_id\nsub-01\n");
    dataset.phantom = makeFieldMapPhantom();
    const FieldMapPhantom& p = dataset.phantom;
    const double t = p.readoutTime;
    // Each run: the phantom's first (j) or second (j-) acquisition, and how its readout
    // time is given (the grid has 40 rows along j: 0.05 s = 0.05/39 s x 39).
    const double spacing = t / (p.runGrid.extent.y - 1);
    TestGrid aside = p.runGrid;  // the head mostly beside the field map
    aside.origin[0] += 70.0;
    const struct {
        const char* letter;
        bool plus;
        nlohmann::json timing;
        const TestGrid& grid;
    } runs[] = {
        {"a", true, {{"TotalReadoutTime", t}}, p.runGrid},
        {"b", false, {{"EffectiveEchoSpacing", t / 99.0}, {"ReconMatrixPE", 100}}, p.runGrid},
        {"c", true, {{"EffectiveEchoSpacing", spacing}}, p.runGrid},
        {"d", false, {{"TotalReadoutTime", t}}, p.runGrid},
        {"e", true, {{"TotalReadoutTime", t}, {"B0FieldSource", "gre"}}, p.runGrid},
        {"f", true, {{"TotalReadoutTime", t}}, p.runGrid},
        {"g", true, {{"TotalReadoutTime", t}}, aside},
    };
    for (const auto& run : runs) {
        const fs::path image = top / fieldMapDatasetRun(run.letter);
        writeGridImage(image.string(), run.grid, run.plus ? p.phantom.first : p.phantom.second);
        nlohmann::json sidecar = run.timing;
        sidecar["TaskName"] = run.letter;
        sidecar["RepetitionTime"] = 2.0;
        sidecar["PhaseEncodingDirection"] = run.plus ? "j" : "j-";
        writeText(image.parent_path() / (fs::path(image).stem().stem().string() + ".json"), sidecar.dump(2));
    }

    const std::string fmap = (top / "sub-01/fmap/sub-01_acq-").string();
    const Volume hertz = phantomFieldOnFieldGrid(p);
    const Volume magnitude = phantomMagnitudeOnFieldGrid(p);
    const auto intended = [](std::initializer_list<const char*> letters) {
        nlohmann::json list = nlohmann::json::array();
        for (const char* letter : letters) list.push_back(fs::path(fieldMapDatasetRun(letter)).lexically_relative("sub-01").string());
        return list;
    };
    writeFieldMapCase(fmap + "diff", FieldMapCase::PhaseDifference, p.fieldGrid, hertz, magnitude,
                      {{"IntendedFor", intended({"a", "d"})}, {"B0FieldIdentifier", "gre"}});
    writeFieldMapCase(fmap + "two", FieldMapCase::TwoPhases, p.fieldGrid, hertz, magnitude,
                      {{"IntendedFor", intended({"b"})}});
    writeFieldMapCase(fmap + "direct", FieldMapCase::FieldInRadiansPerSecond, p.fieldGrid, hertz, magnitude,
                      {{"IntendedFor", intended({"c", "g"})}});
    writeFieldMapCase(fmap + "nobody", FieldMapCase::FieldInRadiansPerSecond, p.fieldGrid, hertz, magnitude,
                      nlohmann::json::object());
    writeGridImage(fmap + "lonely_magnitude1.nii.gz", p.fieldGrid, {magnitude});
    writeFieldMapCase(fmap + "broken", FieldMapCase::PhaseDifference, p.fieldGrid, hertz, magnitude,
                          {{"IntendedFor", intended({"f"})}});
    writeText(fmap + "broken_phasediff.json",
              nlohmann::json{{"EchoTime1", kPhantomEchoTime1}, {"IntendedFor", intended({"f"})}}.dump(2));

    // The pair: the phantom's two acquisitions as field maps of opposite directions.
    for (const auto& [direction, volumes] : {std::pair{"PA", &p.phantom.first}, {"AP", &p.phantom.second}}) {
        const std::string stem = (top / "sub-01/fmap/sub-01_dir-").string() + direction + "_epi";
        writeGridImage(stem + ".nii.gz", p.runGrid, *volumes);
        writeText(stem + ".json", nlohmann::json{{"PhaseEncodingDirection", std::string(direction) == "PA" ? "j" : "j-"},
                                                 {"TotalReadoutTime", t},
                                                 {"IntendedFor", intended({"d", "e"})}}
                                      .dump(2));
    }
    return dataset;
}
