// One self-contained HTML page of one run or several side by side, made from their JSON
// summaries: the verdict first, then what was tested, charts over time and the processes. The
// chart library is inlined, so the page opens without a network and can be mailed or attached
// to a bug as one file.
#pragma once

#include <string>
#include <vector>

// Where the chart library is read from (Debian's libjs-chart.js).
constexpr const char* CHART_JS_PATH = "/usr/share/javascript/chart.js/chart.min.js";

// The page for the runs' JSON texts; false and why if one is not a run's summary or the chart
// library is missing. names are what the page calls each run (its file's name).
bool makeHtmlReport(const std::vector<std::string>& json_texts,
                    const std::vector<std::string>& names, std::string* html, std::string* error);

// logtest-run report RUN.json... [-o FILE.html]: exit status 0, or 2 with a message.
int reportCommand(const std::vector<std::string>& args);
