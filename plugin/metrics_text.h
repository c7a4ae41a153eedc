#ifndef HTS_METRICS_TEXT_H
#define HTS_METRICS_TEXT_H

#include <string>

#include <nlohmann/json.hpp>

// The status that GetStatus makes, in the Prometheus text exposition format:
// counters and gauges in the "vornix_sink_http_" namespace, each with its
// HELP and TYPE lines, labelled with the instance's tag and, per channel,
// the channel's name. Copes with a status of any shape: a figure that is
// missing is left out, never invented.
std::string htsMetricsText(const nlohmann::json &status);

// A label value or HELP text as the format writes it: backslash, double
// quote (labels only) and line feed escaped.
std::string htsMetricsEscape(const std::string &text, bool label);

#endif
