// SPDX-License-Identifier: GPL-3.0-or-later
// Progress of a set of work items: on a terminal one line that is redrawn (a bar, items
// done of all, failures, time elapsed and an estimate of the rest); otherwise one plain
// line per item that starts or ends.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

class Progress {
public:
    Progress(std::ostream& output, bool terminal, int total);

    void started(const std::string& label);
    void finished(const std::string& label, bool failed, double seconds, const std::string& log);
    // Redraws the line on a terminal once a second, so that the clock moves.
    void tick();
    // Ends the line on a terminal.
    void close();

    int done() const { return finishedCount; }
    int failed() const { return failedCount; }

private:
    std::ostream& output;
    bool terminal;
    int total;
    int finishedCount = 0;
    int failedCount = 0;
    bool lineOpen = false;
    long drawnSecond = -1;  // the elapsed second the line shows
    std::chrono::steady_clock::time_point start;

    void draw();
    void clearLine();
    double elapsed() const;
};

// "1:05" or "1:02:05".
std::string clockText(double seconds);
