#include "dataset/grouplevel.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "dataset/discovery.h"
#include "dataset/groupindex.h"
#include "dataset/outputfiles.h"
#include "dataset/subjectsummary.h"

namespace fs = std::filesystem;

int runGroupLevel(const std::string& outputFolder)
{
    std::vector<SubjectResults> subjects;
    for (const std::string& subject : datasetSubjects(outputFolder)) {
        std::ifstream file(fs::path(outputFolder) / summaryPath(subject));
        if (!file) continue;
        SubjectResults results;
        try {
            results.summary = nlohmann::json::parse(file);
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error("The summary " + (fs::path(outputFolder) / summaryPath(subject)).string() +
                                     " cannot be read: " + error.what());
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
    std::cout << "Group report of " << subjects.size() << " subjects (" << all.size() << " corrected pairs): " << index << '\n';
    for (const std::string& name : outliers) std::cout << "  outlier: " << name << '\n';
    return 0;
}
