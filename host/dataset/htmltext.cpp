// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/htmltext.h"

#include <cstdio>

std::string pageStart(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + escapeHtml(title) +
           "</title>\n<style>\n"
           "body { font-family: sans-serif; margin: 2em; color: #222; }\n"
           "table { border-collapse: collapse; margin: 0.5em 0 1.5em; }\n"
           "th, td { border: 1px solid #bbb; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }\n"
           "th { background: #eee; }\n"
           ".failed, .problem, .outlier { color: #b00; font-weight: bold; }\n"
           ".note { color: #666; }\n"
           "img { max-width: 100%; border: 1px solid #ccc; }\n"
           "</style>\n</head>\n<body>\n<h1>" +
           escapeHtml(title) + "</h1>\n";
}

std::string pageEnd()
{
    return "<p class=\"note\">" + escapeHtml(madeWith()) + "</p>\n</body>\n</html>\n";
}

std::string fixed(double value, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}
