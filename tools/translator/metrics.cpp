#include "tools/translator/metrics.h"

#include <cstdio>

namespace standin {
namespace {

std::string Labels(const std::pair<std::string, std::string>& pair) {
  // Language codes only ever reach here, but a label value must not break the format.
  auto clean = [](const std::string& code) {
    std::string out;
    for (char c : code) {
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') out += c;
    }
    return out.empty() ? std::string("unknown") : out;
  };
  return "from=\"" + clean(pair.first) + "\",to=\"" + clean(pair.second) + "\"";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void Metrics::Record(const std::string& from, const std::string& to, int status,
                     double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Pair& p = pairs_[{from, to}];
  ++p.byStatus[status];
  for (std::size_t i = 0; i < kBounds.size(); ++i) {
    if (seconds <= kBounds[i]) ++p.buckets[i];
  }
  p.sum += seconds;
  ++p.count;
}

std::string Metrics::Text(const HttpServer::Counts& server,
                          const std::map<std::string, int>& pipelineStarts) const {
  std::string out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Header(out, "parlavant_translator_requests_total", "counter",
           "Translation requests answered, by language pair and status.");
    for (const auto& [pair, p] : pairs_) {
      for (const auto& [status, n] : p.byStatus) {
        out += "parlavant_translator_requests_total{" + Labels(pair) + ",code=\"" +
               std::to_string(status) + "\"} " + std::to_string(n) + "\n";
      }
    }
    Header(out, "parlavant_translator_request_duration_seconds", "histogram",
           "Time from a translation request's arrival at a worker to its answer.");
    for (const auto& [pair, p] : pairs_) {
      const std::string labels = Labels(pair);
      for (std::size_t i = 0; i < kBounds.size(); ++i) {
        out += "parlavant_translator_request_duration_seconds_bucket{" + labels + ",le=\"" +
               Number(kBounds[i]) + "\"} " + std::to_string(p.buckets[i]) + "\n";
      }
      out += "parlavant_translator_request_duration_seconds_bucket{" + labels +
             ",le=\"+Inf\"} " + std::to_string(p.count) + "\n";
      out += "parlavant_translator_request_duration_seconds_sum{" + labels + "} " +
             Number(p.sum) + "\n";
      out += "parlavant_translator_request_duration_seconds_count{" + labels + "} " +
             std::to_string(p.count) + "\n";
    }
  }
  Header(out, "parlavant_translator_http_refused_total", "counter",
         "Requests refused before any translation, by reason.");
  out += "parlavant_translator_http_refused_total{reason=\"too_large\"} " +
         std::to_string(server.tooLarge) + "\n";
  out += "parlavant_translator_http_refused_total{reason=\"malformed\"} " +
         std::to_string(server.badRequests) + "\n";
  out += "parlavant_translator_http_refused_total{reason=\"deadline\"} " +
         std::to_string(server.deadlines) + "\n";
  Header(out, "parlavant_translator_connections_accepted_total", "counter",
         "Connections accepted.");
  out += "parlavant_translator_connections_accepted_total " + std::to_string(server.accepted) +
         "\n";
  Header(out, "parlavant_translator_connections_evicted_total", "counter",
         "Idle connections closed to make room for new ones.");
  out += "parlavant_translator_connections_evicted_total " + std::to_string(server.evicted) +
         "\n";
  Header(out, "parlavant_translator_accept_pauses_total", "counter",
         "Times accepting paused for want of descriptors or memory.");
  out += "parlavant_translator_accept_pauses_total " + std::to_string(server.acceptPauses) + "\n";
  Header(out, "parlavant_translator_connections_open", "gauge", "Connections open now.");
  out += "parlavant_translator_connections_open " + std::to_string(server.open) + "\n";
  Header(out, "parlavant_translator_pipeline_starts_total", "counter",
         "Apertium pipelines started, by mode; beyond their number, restarts after a failure.");
  for (const auto& [mode, n] : pipelineStarts) {
    out += "parlavant_translator_pipeline_starts_total{mode=\"" + mode + "\"} " +
           std::to_string(n) + "\n";
  }
  return out;
}

}  // namespace standin
