#include "app/cli/terminal_view.h"

#include <algorithm>
#include <cmath>

#include "app/core/support_log.h"
#include "midi/midi_api.h"
#include "protocol/flash_plan.h"
#include "protocol/update_clock.h"
#include "resources/string_table.h"

namespace rt88h::cli {
namespace {

constexpr int64_t kRedrawIntervalUs = 100'000;
// The floor's pace: each answer taken at the next 50 ms tick. Re-sends only add to it.
constexpr double kFloorSecondsPerMessage = 0.05;
constexpr double kAfterBeginUpdatePauseSeconds = 0.5;

// Where each step's messages begin in a complete update without retries.
struct PlanMessages {
  int total = 0;
  std::array<int, kPlanSteps + 2> first{};  // 0: BeginUpdate; kPlanSteps + 1: EndUpdate
};

const PlanMessages& planMessages() {
  static const PlanMessages messages = [] {
    PlanMessages m;
    const std::vector<PlannedMessage> walk = planWalk();
    m.total = static_cast<int>(walk.size());
    m.first[0] = 1;
    m.first[kPlanSteps + 1] = m.total - 1;
    for (int i = static_cast<int>(walk.size()) - 1; i >= 0; --i) {
      const int step = walk[static_cast<std::size_t>(i)].step;
      if (step >= 1 && step <= kPlanSteps) m.first[static_cast<std::size_t>(step)] = i;
    }
    return m;
  }();
  return messages;
}

int index(app::DeviceList list) {
  return list == app::DeviceList::In ? 0 : 1;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The answer without blanks, in lower case.
std::string answerWord(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return out;
}

// Pads by characters, not bytes: names may be UTF-8.
std::string padded(const std::string& text, std::size_t width) {
  std::size_t characters = 0;
  for (const char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return characters >= width ? text + " " : text + std::string(width - characters, ' ');
}

}  // namespace

TerminalView::TerminalView(TerminalLoop& loop, Output output, bool yes)
    : loop_(loop), output_(output), yes_(yes), createdUs_(steadyNowUs()) {}

void TerminalView::note(std::string_view text) {
  print(stderr, std::string(kProgram) + ": " + std::string(text));
}

void TerminalView::emit(const JsonLine& line) {
  std::fputs(line.line().c_str(), stdout);
  std::fflush(stdout);
}

void TerminalView::print(std::FILE* stream, const std::string& line) {
  if (lineShown_) {
    // Once the update has ended its line stays, the message below it.
    std::fputs(finished_ ? "\n" : ("\r" + std::string(lineLength_, ' ') + "\r").c_str(), stdout);
    std::fflush(stdout);
    lineShown_ = false;
  }
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
  if (output_ == Output::Line && step_ >= 0 && !finished_) redraw(true);
}

double TerminalView::elapsed() const {
  return static_cast<double>(steadyNowUs() - createdUs_) / 1e6;
}

int TerminalView::overallPercent() const {
  return static_cast<int>(100LL * messagesDone_ / planMessages().total);
}

std::string TerminalView::timeLeft() const {
  double seconds = (planMessages().total - messagesDone_) * kFloorSecondsPerMessage;
  if (step_ < 1) seconds += kAfterBeginUpdatePauseSeconds;
  const int whole = static_cast<int>(std::lround(seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
  return text;
}

void TerminalView::redraw(bool force) {
  if (output_ != Output::Line || counter_.empty()) return;
  const int64_t now = steadyNowUs();
  if (!force && lineShown_ && now - drawnUs_ < kRedrawIntervalUs) return;
  drawnUs_ = now;
  char tail[64];
  std::snprintf(tail, sizeof tail, "  %3d%%  %s left", overallPercent(), timeLeft().c_str());
  std::string line =
      counter_ + "  " + std::string(trimmed(status_)) + (finished_ ? std::string() : tail);
  // Blanks over what a longer line before left; no terminal's escapes needed.
  const std::size_t length = line.size();
  if (length < lineLength_) line.append(lineLength_ - length, ' ');
  lineLength_ = length;
  std::fputs(("\r" + line).c_str(), stdout);
  std::fflush(stdout);
  lineShown_ = true;
}

void TerminalView::progressMoved() {
  const PlanMessages& plan = planMessages();
  if (finished_ && endingId_ == IDS_UPDATE_COMPLETED) {
    messagesDone_ = plan.total;
  } else if (app::recordedPlanStep(step_) != nullptr) {
    messagesDone_ =
        plan.first[static_cast<std::size_t>(step_)] + static_cast<int>(chunkOffset_ / kChunkLength);
  }
  const int tenth = overallPercent() / 10;
  if (output_ == Output::Plain && tenth > lastTenth_ && !finished_) {
    lastTenth_ = tenth;
    char line[64];
    std::snprintf(line, sizeof line, "progress %d%%, about %s left", tenth * 10,
                  timeLeft().c_str());
    print(stdout, line);
  }
  redraw(false);
}

void TerminalView::showList(app::DeviceList list, const std::vector<Entry>& entries,
                            int preselected) {
  const std::string_view label =
      loadString(list == app::DeviceList::In ? IDS_MIDI_IN_LABEL : IDS_MIDI_OUT_LABEL);
  if (output_ != Output::Json) std::printf("%.*s\n", static_cast<int>(label.size()), label.data());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const bool chosen = static_cast<int>(i) == preselected;
    if (output_ == Output::Json) {
      emit(JsonLine("port")
               .text("list", list == app::DeviceList::In ? "in" : "out")
               .number("position", static_cast<int64_t>(i))
               .text("name", entries[i].name)
               .text("key", entries[i].key)
               .flag("preselected", chosen));
    } else {
      std::printf("%s %s %s\n", chosen ? "*" : " ",
                  padded(entries[i].name, midi::kMaxDeviceNameChars).c_str(),
                  entries[i].key.c_str());
    }
  }
  if (output_ != Output::Json && entries.empty()) std::printf("  (none)\n");
  std::fflush(stdout);
}

void TerminalView::showPorts(int copy, const Entry& out, const Entry& in) {
  if (output_ == Output::Json) {
    emit(JsonLine("ports")
             .seconds("t", elapsed())
             .number("copy", copy)
             .text("out_name", out.name)
             .text("out_key", out.key)
             .text("in_name", in.name)
             .text("in_key", in.key));
    return;
  }
  for (const auto& [list, entry] :
       {std::pair{IDS_MIDI_OUT_LABEL, &out}, std::pair{IDS_MIDI_IN_LABEL, &in}}) {
    print(stdout, std::string(loadString(list)) + ": " + entry->name + "  (" + entry->key + ")");
  }
}

void TerminalView::showExit(int status) {
  if (output_ == Output::Json) {
    emit(JsonLine("exit").seconds("t", elapsed()).number("status", status));
  } else if (lineShown_) {
    redraw(true);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    lineShown_ = false;
  }
}

void TerminalView::showEntries(app::DeviceList list, const std::vector<std::string>& names) {
  names_[static_cast<std::size_t>(index(list))] = names;
  selected_[static_cast<std::size_t>(index(list))] = -1;
}

void TerminalView::selectEntry(app::DeviceList list, int position) {
  selected_[static_cast<std::size_t>(index(list))] = position;
}

int TerminalView::selectedEntry(app::DeviceList list) const {
  return selected_[static_cast<std::size_t>(index(list))];
}

void TerminalView::showStatusText(std::string_view text) {
  status_ = text;
  // The chunk now sent: those before it are done. (A step's bar may start full, where the
  // range it takes over was longer.)
  int offset = 0;
  int length = 0;
  if (std::sscanf(status_.c_str(), std::string(loadString(IDS_DATA_TRANSMIT)).c_str(), &offset,
                  &length) == 2 &&
      offset >= 0) {
    chunkOffset_ = static_cast<uint32_t>(offset);
    progressMoved();
  }
  if (output_ == Output::Json) {
    emit(JsonLine("status").seconds("t", elapsed()).text("text", text));
  }
  redraw(text == loadString(IDS_UPDATE_COMPLETED));
}

void TerminalView::showStepText(std::string_view text) {
  counter_ = text;
  if (output_ == Output::Json) {
    emit(JsonLine("counter").seconds("t", elapsed()).text("text", text));
  }
  redraw(true);
}

void TerminalView::showProgress(int low, int high, int position) {
  low_ = low;
  high_ = high;
  position_ = position;
  progressMoved();
  if (output_ == Output::Json) {
    emit(JsonLine("progress")
             .seconds("t", elapsed())
             .number("low", low)
             .number("high", high)
             .number("position", position)
             .number("overall", overallPercent()));
  }
}

void TerminalView::runMessageBox(std::string_view text, std::string_view caption,
                                 MessageIcon /*icon*/) {
  lastBox_ = text;
  if (output_ == Output::Json) {
    emit(JsonLine("message").seconds("t", elapsed()).text("text", text).text("caption", caption));
  }
  note(caption.empty() ? std::string(text) : std::string(caption) + ": " + std::string(text));
}

bool TerminalView::askTestImages() {
  const std::string risk(loadString(IDS_TEST_IMAGES_RISK));
  const std::string question(loadString(IDS_TEST_IMAGES_QUESTION));
  bool yes = yes_;
  if (yes_) {
    note(risk + " Written anyway (--yes).");
  } else if (!isTerminal(stdin)) {
    note(risk + " Not written: there is no terminal to ask on (--yes writes them).");
  } else {
    note(risk);
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    const bool answered = loop_.readLine(&answer);
    if (!answered) std::fputs("\n", stderr);
    const std::string word = answerWord(answer);
    yes = answered && (word == "y" || word == "yes");
  }
  declined_ = !yes;
  if (output_ == Output::Json) {
    emit(JsonLine("question")
             .seconds("t", elapsed())
             .text("text", risk + " " + question)
             .text("answer", yes ? "yes" : "no"));
  }
  return yes;
}

void TerminalView::record(const UpdateRecord& record) {
  loop_.queue([this, record] { onRecord(record); });
}

void TerminalView::onRecord(const UpdateRecord& record) {
  switch (record.event) {
    case UpdateEvent::Identified: messagesDone_ = 1; break;
    case UpdateEvent::StepBegun:
      step_ = record.step;
      chunkOffset_ = 0;
      messagesDone_ =
          planMessages()
              .first[static_cast<std::size_t>(std::clamp(record.step, 0, kPlanSteps + 1))];
      break;
    case UpdateEvent::Finished:
      finished_ = true;
      endingId_ = record.messageId;
      break;
    default: break;
  }
  const std::string text = app::describeRecord(record);
  if (output_ == Output::Json) {
    JsonLine line(eventName(record.event));
    line.seconds("t", static_cast<double>(record.atUs - createdUs_) / 1e6);
    switch (record.event) {
      case UpdateEvent::Started: break;
      case UpdateEvent::Identified: line.number("model", record.value); break;
      case UpdateEvent::StepBegun:
        line.number("step", record.step)
            .number("of", kPlanSteps)
            .text("kind", app::recordedStepKind(record.step));
        line.number("address", record.address).number("length", record.length);
        break;
      case UpdateEvent::Refused:
      case UpdateEvent::TimedOut:
      case UpdateEvent::Doubted:
      case UpdateEvent::Resent:
        line.number("step", record.step).text("kind", app::recordedStepKind(record.step));
        line.number("address", record.address);
        if (record.event == UpdateEvent::Refused) line.number("status", record.value);
        if (record.event == UpdateEvent::Resent) line.number("send", record.value);
        break;
      case UpdateEvent::Finished:
        line.flag("completed", record.messageId == IDS_UPDATE_COMPLETED);
        line.text("message", record.messageId == 0 ? "" : loadString(record.messageId));
        break;
    }
    emit(line.text("text", text));
  } else if (output_ == Output::Plain ||
             (record.event != UpdateEvent::StepBegun && record.event != UpdateEvent::Started &&
              record.event != UpdateEvent::Finished)) {
    print(stdout, text);
  }
  progressMoved();
}

}  // namespace rt88h::cli
