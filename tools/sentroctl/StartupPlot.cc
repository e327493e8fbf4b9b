// plot: one SVG timeline of a start batch, a bar per service from its start
// request to STARTED, split into the sub-phases it reported, in dependency
// order.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"
#include "tools/sentroctl/StartupRecords.h"

namespace {

#define PLOT_EXIT_NO_DATA 4
#define LABEL_WIDTH 190  // the service names' column
#define CHART_WIDTH 760
#define ROW_HEIGHT 26
#define BAR_HEIGHT 16
#define TOP 70  // title and axis labels

// Phase colours, taken in order of first appearance; the whole bar of a
// service without phases takes the colour of its outcome.
const char *const kPhaseColours[] = {"#4e79a7", "#f28e2b", "#b07aa1", "#76b7b2",
                                     "#edc948", "#9c755f", "#ff9da7", "#bab0ac"};
#define STARTED_COLOUR "#59a14f"
#define FAILED_COLOUR "#e15759"
#define UNKNOWN_END_COLOUR "#bbbbbb"
#define UNREPORTED_COLOUR "#e6e6e6"  // after the reported phases, until STARTED

std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A tick step of 1, 2 or 5 times a power of ten giving at most ten ticks.
double TickStep(double span) {
  double step = std::pow(10, std::floor(std::log10(span)));
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (span / (step * factor) <= 10) {
      return step * factor;
    }
  }
  return step * 10;
}

class Plot {
 public:
  Plot(const StartBatch &batch, std::vector<const ServiceStart *> rows)
      : batch_(batch), rows_(std::move(rows)) {
    span_ = 1;
    for (const ServiceStart *row : rows_) {
      span_ = std::max(span_, row->End() - static_cast<double>(batch_.begin));
    }
    scale_ = CHART_WIDTH / span_;
  }

  std::string Svg() {
    int height = TOP + ROW_HEIGHT * static_cast<int>(rows_.size()) + 60;
    Printf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
        "font-family=\"sans-serif\" font-size=\"12\">\n",
        LABEL_WIDTH + CHART_WIDTH + 110, height);
    Printf("<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    Printf(
        "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">Start of %zu services "
        "in %s</text>\n",
        rows_.size(), FormatSeconds(span_).c_str());
    Printf("<text x=\"10\" y=\"40\" fill=\"#555\">operation %s</text>\n",
           Escaped(batch_.operationId.empty() ? "(last start of each service)" : batch_.operationId)
               .c_str());
    Axis(height - 50);
    for (size_t i = 0; i < rows_.size(); i++) {
      Row(*rows_[i], TOP + ROW_HEIGHT * static_cast<int>(i));
    }
    Legend(height - 22);
    svg_ += "</svg>\n";
    return svg_;
  }

 private:
  void Printf(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    svg_ += buffer;
  }
  double X(double offset) const { return LABEL_WIDTH + offset * scale_; }

  void Axis(int bottom) {
    double step = TickStep(span_);
    for (double t = 0; t <= span_ + 1e-9; t += step) {
      Printf("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", X(t), TOP - 8,
             X(t), bottom);
      Printf("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" fill=\"#555\">%s</text>\n", X(t),
             TOP - 12, FormatSeconds(t).c_str());
    }
  }

  void Row(const ServiceStart &row, int y) {
    double start = static_cast<double>(row.start - batch_.begin);
    Printf("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n", LABEL_WIDTH - 8, y + 13,
           Escaped(row.service).c_str());
    if (row.phases.empty()) {
      const char *colour = !row.endKnown             ? UNKNOWN_END_COLOUR
                           : row.status == "HEALTHY" ? STARTED_COLOUR
                                                     : FAILED_COLOUR;
      Bar(start, row.Seconds(), colour, row.service + " " + row.status, y);
    } else {
      double at = start;
      for (const SubPhase &phase : row.phases) {
        Bar(at, phase.seconds, ColourOf(phase.name), row.service + " " + phase.name, y);
        at += phase.seconds;
      }
      if (row.endKnown && at < row.End() - static_cast<double>(batch_.begin)) {
        // The rest of the start that no phase accounts for.
        Bar(at, row.End() - static_cast<double>(batch_.begin) - at, UNREPORTED_COLOUR,
            row.service + " unreported", y);
      }
    }
    std::string label = (row.endKnown ? "" : "~") + FormatSeconds(row.Seconds());
    if (row.status != "HEALTHY") {
      label += " " + row.status;
    }
    Printf("<text x=\"%.1f\" y=\"%d\" fill=\"#333\">%s</text>\n",
           X(row.End() - static_cast<double>(batch_.begin)) + 4, y + 13, Escaped(label).c_str());
  }

  void Bar(double offset, double seconds, const char *colour, const std::string &title, int y) {
    double width = std::max(seconds * scale_, 1.5);
    Printf(
        "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\">"
        "<title>%s: %s</title></rect>\n",
        X(offset), y + 2, width, BAR_HEIGHT, colour, Escaped(title).c_str(),
        FormatSeconds(seconds).c_str());
  }

  const char *ColourOf(const std::string &phase) {
    auto known = std::find(phaseNames_.begin(), phaseNames_.end(), phase);
    size_t index = static_cast<size_t>(known - phaseNames_.begin());
    if (known == phaseNames_.end()) {
      phaseNames_.push_back(phase);
    }
    return kPhaseColours[index % (sizeof kPhaseColours / sizeof kPhaseColours[0])];
  }

  void Legend(int y) {
    int x = 10;
    for (size_t i = 0; i < phaseNames_.size(); i++) {
      Printf(
          "<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>"
          "<text x=\"%d\" y=\"%d\">%s</text>\n",
          x, y - 10, kPhaseColours[i % (sizeof kPhaseColours / sizeof kPhaseColours[0])], x + 16, y,
          Escaped(phaseNames_[i]).c_str());
      x += 30 + 7 * static_cast<int>(phaseNames_[i].size());
    }
    const struct {
      const char *colour;
      const char *meaning;
    } kOutcomes[] = {{UNREPORTED_COLOUR, "until STARTED"},
                     {STARTED_COLOUR, "started (no phases)"},
                     {FAILED_COLOUR, "failed"},
                     {UNKNOWN_END_COLOUR, "end not recorded"}};
    for (const auto &outcome : kOutcomes) {
      Printf(
          "<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>"
          "<text x=\"%d\" y=\"%d\" fill=\"#555\">%s</text>\n",
          x, y - 10, outcome.colour, x + 16, y, outcome.meaning);
      x += 30 + 7 * static_cast<int>(strlen(outcome.meaning));
    }
  }

  const StartBatch &batch_;
  std::vector<const ServiceStart *> rows_;
  std::vector<std::string> phaseNames_;
  double span_;
  double scale_;
  std::string svg_;
};

}  // namespace

int RunPlot(CtlContext &context) {
  if (HasOpsOption(context.options, "--last") && HasOpsOption(context.options, "--operation")) {
    return UsageError(context, "give either --last or --operation");
  }
  StartSelection selection;
  const std::string *id = OpsOption(context.options, "--operation");
  selection.operationId = id != nullptr ? *id : "";
  selection.lastBatch = id == nullptr;
  StartBatch batch;
  std::string error;
  if (!ReadStarts(StartupDbPath(context.options), selection, &batch, &error)) {
    context.err << "sentroctl: " << error << "\n";
    return PLOT_EXIT_NO_DATA;
  }
  Plot plot(batch, InDependencyOrder(batch, ReadDependsOn(OpsConfigDir(context.options))));
  context.out << plot.Svg();
  return CTL_EXIT_OK;
}
