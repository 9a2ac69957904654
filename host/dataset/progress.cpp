// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/progress.h"

#include <cmath>
#include <cstdio>

Progress::Progress(std::ostream& output, bool terminal, int total)
    : output(output), terminal(terminal), total(total), start(std::chrono::steady_clock::now())
{
}

double Progress::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string clockText(double seconds)
{
    const long whole = std::lround(seconds);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

void Progress::clearLine()
{
    if (lineOpen) output << "\r\x1b[K";
    lineOpen = false;
}

void Progress::draw()
{
    const int width = 30;
    const int filled = total > 0 ? finishedCount * width / total : width;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    const double seconds = elapsed();
    drawnSecond = static_cast<long>(seconds);
    std::string line("\r[");
    line.append(bar).append("] ").append(std::to_string(finishedCount)).append("/").append(std::to_string(total)).append(" items");
    if (failedCount > 0) line.append(", ").append(std::to_string(failedCount)).append(" failed");
    line += ", " + clockText(seconds) + " elapsed";
    if (finishedCount > 0 && finishedCount < total)
        line += ", about " + clockText(seconds / finishedCount * (total - finishedCount)) + " left";
    output << line << "\x1b[K" << std::flush;
    lineOpen = true;
}

void Progress::started(const std::string& label)
{
    if (terminal) {
        draw();
        return;
    }
    output << "[" << finishedCount << "/" << total << "] started " << label << std::endl;
}

void Progress::finished(const std::string& label, bool failed, double seconds, const std::string& log)
{
    ++finishedCount;
    if (failed) ++failedCount;
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    std::string line("[");
    line.append(std::to_string(finishedCount)).append("/").append(std::to_string(total)).append("] ");
    line.append(failed ? "FAILED " : "done ").append(label).append(" (").append(time);
    if (failed) line.append("; log: ").append(log);
    line.append(")");
    if (terminal) {
        // Failures stay on the screen above the bar; successes only move the bar.
        if (failed) {
            clearLine();
            output << line << '\n';
        }
        draw();
        return;
    }
    output << line << std::endl;
}

void Progress::tick()
{
    if (terminal && static_cast<long>(elapsed()) != drawnSecond) draw();
}

void Progress::close()
{
    if (terminal && lineOpen) output << '\n' << std::flush;
    lineOpen = false;
}
