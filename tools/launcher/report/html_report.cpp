#include "html_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "file_text.h"
#include "report_page_js.h"
#include "verdict.h"

using json = nlohmann::json;

static const char* const STYLE = R"(
body { font: 15px/1.4 system-ui, sans-serif; margin: 1em auto; max-width: 70em; padding: 0 1em; }
.verdict { border-left: 8px solid #888; padding: 0.2em 1em; }
.verdict.pass { border-color: #2a2; } .verdict.fail { border-color: #c22; }
.verdict h1 { margin: 0.2em 0; }
pre { overflow-x: auto; background: #f4f4f4; padding: 0.5em; }
table { border-collapse: collapse; margin: 0.5em 0; display: block; overflow-x: auto; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
.chart { position: relative; height: 18em; margin-bottom: 3em; }
@media print { .chart { break-inside: avoid; } body { max-width: none; } }
)";

static bool readWhole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *text = bytes.str();
  return true;
}

// Inside a script element nothing may close it early.
static std::string scriptSafe(std::string text) {
  for (size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 3) {
    text.replace(at, 2, "<\\/");
  }
  return text;
}

static std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  }
  return out;
}

static bool isRunSummary(const json& d) {
  return d.is_object() && d.value("tool", "") == "logtest-run" && d.contains("version") &&
         d["version"].is_number() && d.contains("verdict") && d["verdict"].is_string();
}

bool makeHtmlReport(const std::vector<std::string>& json_texts,
                    const std::vector<std::string>& names, std::string* html, std::string* error) {
  json runs = json::array();
  for (size_t i = 0; i < json_texts.size(); i++) {
    json d = json::parse(json_texts[i], nullptr, false);
    if (!isRunSummary(d)) {
      *error = names[i] + " is not the JSON summary of a logtest-run run";
      return false;
    }
    runs.push_back({{"name", names[i]}, {"d", d}});
  }
  std::string chart_js;
  if (!readWhole(CHART_JS_PATH, &chart_js)) {
    *error = std::string("the chart library is missing: ") + CHART_JS_PATH +
             " (Debian's libjs-chart.js)";
    return false;
  }
  std::string title = runs.size() == 1
                          ? runs[0]["d"]["verdict"].get<std::string>() + ": " + names[0]
                          : std::to_string(runs.size()) + " logtest-run runs";
  *html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
      htmlEscaped(title) + "</title>\n<style>" + STYLE + "</style>\n<script>" +
      scriptSafe(chart_js) +
      "</script>\n</head><body><main id=\"app\"></main>\n<script>const RUNS = " +
      scriptSafe(runs.dump(-1, ' ', true)) + ";\n" + scriptSafe(REPORT_PAGE_JS) +
      "</script>\n</body></html>\n";
  return true;
}

// The run's name on the page: its file's name without the directory.
static std::string baseName(const std::string& path) {
  return path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
}

int reportCommand(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  std::string out;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      out = args[++i];
    } else if (args[i].empty() || args[i][0] == '-') {
      files.clear();
      break;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty()) {
    fprintf(stderr, "Usage: logtest-run report RUN.json... [-o FILE.html]\n");
    return EXIT_USAGE;
  }
  if (out.empty()) {
    size_t dot = files[0].rfind(".json");
    out = (dot != std::string::npos && dot + 5 == files[0].size() ? files[0].substr(0, dot)
                                                                  : files[0]) +
          ".html";
  }
  std::vector<std::string> texts, names;
  for (const std::string& file : files) {
    std::string text;
    if (!readWhole(file, &text)) {
      fprintf(stderr, "logtest-run report: %s: %s\n", file.c_str(), strerror(errno));
      return EXIT_USAGE;
    }
    texts.push_back(text);
    names.push_back(baseName(file));
  }
  std::string html, error;
  if (!makeHtmlReport(texts, names, &html, &error) || !writeFileAtomically(out, html, &error)) {
    fprintf(stderr, "logtest-run report: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  printf("Report: %s\n", out.c_str());
  return EXIT_PASS;
}
