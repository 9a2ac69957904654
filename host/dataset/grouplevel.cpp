// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/grouplevel.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "dataset/discovery.h"
#include "dataset/groupindex.h"
#include "dataset/outputfiles.h"
#include "dataset/subjectsummary.h"
#include "nifti/jsonfile.h"

namespace fs = std::filesystem;

int runGroupLevel(const std::string& outputFolder)
{
    std::vector<SubjectResults> subjects;
    for (const std::string& subject : datasetSubjects(outputFolder)) {
        const fs::path summary = fs::path(outputFolder) / summaryPath(subject);
        std::error_code missing;
        if (!fs::exists(summary, missing)) continue;
        SubjectResults results;
        try {
            results.summary = readJsonFile(summary.string(), "summary");
        } catch (const JsonFileError& error) {
            throw std::runtime_error(error.what());
        }
        results.records = readRecords(outputFolder, results.summary);
        subjects.push_back(std::move(results));
    }
    if (subjects.empty()) {
        std::cerr << "mindaro bids: " << outputFolder
                  << " holds no subject's results; run the participant level first.\n";
        return 1;
    }
    const std::string index = (fs::path(outputFolder) / "index.html").string();
    writeFileAtomically(index, groupIndexHtml(subjects));
    std::vector<nlohmann::json> all;
    for (const SubjectResults& subject : subjects) all.insert(all.end(), subject.records.begin(), subject.records.end());
    const std::set<std::string> outliers = outlierItems(all);
    std::cout << "Group report of " << subjects.size() << " subjects (" << all.size() << " work items done): " << index << '\n';
    for (const std::string& name : outliers) std::cout << "  outlier: " << name << '\n';
    return 0;
}
