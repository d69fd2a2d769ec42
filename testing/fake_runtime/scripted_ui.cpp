// The scripted user interface. A script is one command per line; blank lines and lines starting
// with '#' are skipped. Values use the notation of ui_notation.h. Commands, and what each writes
// to the transcript:
//
//   call <channel> <method> [value]   a method call; waits for the answer:
//                                     response <channel> <method>: success <value>
//                                     response <channel> <method>: error <code> <message>
//                                       [details <value>]
//                                     response <channel> <method>: not-implemented
//                                       (an empty answer)
//   listen <channel> [value]          "listen" / "cancel" on an event channel, answered like call
//   cancel <channel> [value]
//   await-event <channel>             waits for the next message the program sends on the channel:
//                                     event <channel>: success <value> | error ... | end
//   drag                              call bitsdojo/window dragAppWindow while a watchdog thread
//                                     posts WM_LBUTTONUP to the window, ending a modal move loop
//   send-window-message devicechange <wparam> [drive letter]
//                                     SendMessageW WM_DEVICECHANGE to the top-level window; with a
//                                     letter, lParam is that volume's DEV_BROADCAST_VOLUME:
//                                     devicechange <wparam>: <result>
//   window-visible                    window-visible true|false
//   show                              ShowWindow(SW_SHOWNORMAL) on the top-level window: show
//   window-table <slot> [args]        calls a slot of bitsdojo_window_api's window table:
//                                     <command as written>: <result>
//   drag-table <slot>                 the same for the drag table, with the button watchdog
//   plugins                           plugins registered: <names>  /  registrars requested: <names>
//   export ListNativeDrives           calls the program's export; every message it delivers:
//                                     native <Kind> <text>
//   export StartNativeRecovery <drive> <outdir> [extensions list]
//   export StartNativeDiskImage <source> <output>
//                                     start, then wait for Finished, recording every message
//   sleep <ms>                        pumps messages for that long
//   timeout <ms>                      how long later waits last (20000 at first)
//
// A wait pumps the thread's messages; when it runs out the transcript says "timeout ..." and the
// script goes on. Script faults are "script-error <line>: ...". The transcript begins with
// "start <class of the top-level window>" and ends with whatever the program sent or answered
// that no command took ("unawaited ..."), then "end".
#include "scripted_ui.h"

#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fake_runtime.h"
#include "method_call.h"
#include "method_result.h"
#include "standard_codec.h"
#include "ui_notation.h"

namespace quarvelin::fake {
namespace {

using flutter::EncodableValue;
using NativeCallback = void (*)(int32_t kind, char* text);

constexpr DWORD kDefaultWaitMs = 20000;
constexpr int32_t kFinished = 4;

// Joins pieces of text (rather than "literal" + std::string, which GCC 12 misreads at -O3).
std::string Cat(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const std::string_view piece : pieces) text += piece;
  return text;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

// A function the program exports by name.
template <typename Function>
Function ProgramExport(const char* name) {
  const FARPROC address = GetProcAddress(GetModuleHandleW(nullptr), name);
  return address ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address)) : nullptr;
}

// Messages from the program's exports, collected from whichever thread delivers them.
struct NativeMessage {
  int32_t kind;
  std::string text;
};
std::mutex gNativeMutex;
std::vector<NativeMessage> gNativeMessages;
std::atomic<void (*)(void*)> gNativeFree{nullptr};

void CollectNativeMessage(int32_t kind, char* text) {
  {
    std::lock_guard lock(gNativeMutex);
    gNativeMessages.push_back({kind, text ? text : ""});
  }
  if (void (*release)(void*) = gNativeFree.load(); release && text) release(text);
}

std::vector<NativeMessage> TakeNativeMessages() {
  std::lock_guard lock(gNativeMutex);
  return std::exchange(gNativeMessages, {});
}

std::string NativeLine(const NativeMessage& message) {
  static const char* const kNames[] = {"Progress", "FileFound", "Status",
                                       "Error",    "Finished",  "DriveList"};
  std::string line = "native ";
  if (message.kind >= 0 && message.kind < 6) {
    line += kNames[message.kind];
  } else {
    line += Cat({"kind", std::to_string(message.kind)});
  }
  line += ' ';
  // The text as it is; one holding control characters is written quoted, to stay on one line.
  const std::string quoted = QuotedText(message.text);
  for (const char c : message.text) {
    if (static_cast<unsigned char>(c) < 0x20) return line + quoted;
  }
  return line + message.text;
}

class EnvelopeText : public flutter::MethodResult<EncodableValue> {
 public:
  std::string text;

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    text = "success ";
    text += result ? Notation(*result) : "null";
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override {
    text = "error ";
    text += code;
    text += ' ';
    text += message;
    if (details && !details->IsNull()) {
      text += " details ";
      text += Notation(*details);
    }
  }
  void NotImplementedInternal() override { text = "not-implemented"; }
};

std::string DescribeEnvelope(const uint8_t* data, size_t size, const char* whenEmpty) {
  if (!data || size == 0) return whenEmpty;
  EnvelopeText result;
  if (!flutter::StandardMethodCodec::GetInstance().DecodeResponseEnvelope(data, size, &result)) {
    return Cat({"undecodable ", std::to_string(size), " bytes"});
  }
  return result.text;
}

std::string Joined(const char* lines) {
  std::string text = lines ? lines : "";
  std::replace(text.begin(), text.end(), '\n', ',');
  std::string spaced;
  for (const char c : text) {
    spaced += c;
    if (c == ',') spaced += ' ';
  }
  return spaced;
}

// A decimal or 0x-prefixed hexadecimal number.
uint64_t UnsignedWord(const std::string& word) {
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  const char* first = word.data() + (hex ? 2 : 0);
  const char* last = word.data() + word.size();
  uint64_t value = 0;
  const auto parsed = std::from_chars(first, last, value, hex ? 16 : 10);
  if (parsed.ec != std::errc() || parsed.ptr != last)
    throw NotationError(Cat({"bad number: ", word}));
  return value;
}

std::string Hex(uint64_t value) {
  char text[24];
  const auto written = std::to_chars(text, text + sizeof text, value, 16);
  std::string digits(text, written.ptr);
  std::transform(digits.begin(), digits.end(), digits.begin(),
                 [](char c) { return static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c); });
  return Cat({"0x", digits});
}

// Posts WM_LBUTTONUP to a window every 200 ms, from 300 ms on, while it lives: the end of a drag
// that a modal move loop waits for.
class ButtonReleaser {
 public:
  explicit ButtonReleaser(HWND window) {
    thread_ = std::thread([this, window] {
      std::unique_lock lock(mutex_);
      if (stopped_.wait_for(lock, std::chrono::milliseconds(300), [this] { return stop_; })) {
        return;
      }
      do {
        PostMessageW(window, WM_LBUTTONUP, 0, 0);
      } while (!stopped_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; }));
    });
  }
  ~ButtonReleaser() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    thread_.join();
  }
  ButtonReleaser(const ButtonReleaser&) = delete;
  ButtonReleaser& operator=(const ButtonReleaser&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

// What bitsdojo_window_api returns: the window table and the drag table.
using Slot = void (*)();
struct WindowApi {
  const Slot* window;
  const Slot* drag;
};

class Player {
 public:
  Player(HWND view, FlutterDesktopEngineRef engine, std::FILE* out)
      : top_(GetAncestor(view, GA_ROOT)), engine_(engine), out_(out) {}

  void Play(const std::vector<std::string>& lines, const std::optional<std::string>& fault) {
    wchar_t name[128] = {};
    GetClassNameW(top_, name, 128);
    std::string start = "start ";
    for (const wchar_t* c = name; *c; ++c) start += static_cast<char>(*c < 128 ? *c : '?');
    Record(start);
    if (fault) Record(Cat({"script-error 0: ", *fault}));
    for (size_t i = 0; i < lines.size() && !quit_; ++i) {
      std::string line = lines[i];
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      const size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#') continue;
      try {
        Run(line.substr(first));
      } catch (const std::exception& e) {
        Record(Cat({"script-error ", std::to_string(i + 1), ": ", e.what()}));
      }
    }
    if (quit_) Record("quit");
    RecordLeftovers();
    Record("end");
    if (quit_) {
      PostQuitMessage(static_cast<int>(quitCode_));
    } else if (IsWindow(top_)) {
      PostMessageW(top_, WM_CLOSE, 0, 0);
    }
  }

 private:
  void Record(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
  }

  // Pumps the thread's messages until `done` or `ms` have passed; false on timeout or WM_QUIT.
  bool WaitFor(const std::function<bool()>& done, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
      if (done()) return true;
      if (quit_) return false;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      MSG msg;
      if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          quit_ = true;
          quitCode_ = msg.wParam;
        } else {
          TranslateMessage(&msg);
          DispatchMessageW(&msg);
        }
        continue;
      }
      // Work on other threads (reads, scans) does not always wake the queue: look again soon.
      MsgWaitForMultipleObjectsEx(0, nullptr,
                                  static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }

  std::optional<size_t> FindLogged(size_t from,
                                   const std::function<bool(const FakeRuntimeEvent&)>& match) {
    const size_t count = FakeRuntimeEventCount();
    for (size_t i = from; i < count; ++i) {
      FakeRuntimeEvent event{};
      if (reported_.count(i) == 0 && FakeRuntimeGetEvent(i, &event) && match(event)) return i;
    }
    return std::nullopt;
  }

  std::string Describe(size_t index, const char* whenEmpty) {
    reported_.insert(index);
    FakeRuntimeEvent event{};
    FakeRuntimeGetEvent(index, &event);
    return DescribeEnvelope(event.data, event.size, whenEmpty);
  }

  void Call(const std::string& channel, const std::string& method,
            std::unique_ptr<EncodableValue> arguments, bool releaseButton = false) {
    const flutter::MethodCall<EncodableValue> call(method, std::move(arguments));
    const auto message = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(call);
    std::string label = "response ";
    label += channel;
    label += ' ';
    label += method;
    const size_t from = FakeRuntimeEventCount();
    std::optional<ButtonReleaser> releaser;
    if (releaseButton) releaser.emplace(top_);
    const int64_t delivery =
        FakeRuntimeDeliverMessage(engine_, channel.c_str(), message->data(), message->size());
    if (delivery < 0) return Record(label + ": engine gone");
    std::optional<size_t> answer;
    const bool answered = WaitFor(
        [&] {
          answer = FindLogged(from, [&](const FakeRuntimeEvent& e) {
            return e.kind == kFakeRuntimeResponse && e.delivery == delivery;
          });
          return answer.has_value();
        },
        waitMs_);
    if (!answered) return Record(Cat({"timeout ", label}));
    Record(label + ": " + Describe(*answer, "not-implemented"));
  }

  void AwaitEvent(const std::string& channel) {
    std::optional<size_t> sent;
    const bool arrived = WaitFor(
        [&] {
          sent = FindLogged(0, [&](const FakeRuntimeEvent& e) {
            return e.kind != kFakeRuntimeResponse && channel == e.channel;
          });
          return sent.has_value();
        },
        waitMs_);
    std::string label = "event ";
    label += channel;
    if (!arrived) return Record(Cat({"timeout ", label}));
    Record(label + ": " + Describe(*sent, "end"));
  }

  void RecordLeftovers() {
    for (size_t i = 0; i < FakeRuntimeEventCount(); ++i) {
      FakeRuntimeEvent event{};
      if (reported_.count(i) != 0 || !FakeRuntimeGetEvent(i, &event)) continue;
      std::string line = "unawaited ";
      line += event.kind == kFakeRuntimeResponse ? "response " : "event ";
      line += event.channel;
      line += ": ";
      Record(line + Describe(i, event.kind == kFakeRuntimeResponse ? "not-implemented" : "end"));
    }
  }

  void RecordNativeMessages(bool* finished = nullptr) {
    for (const NativeMessage& message : TakeNativeMessages()) {
      Record(NativeLine(message));
      if (finished && message.kind == kFinished) *finished = true;
    }
  }

  bool PrepareExports() {
    if (auto release = ProgramExport<void (*)(void*)>("NativeFree")) {
      gNativeFree.store(release);
      return true;
    }
    Record("export NativeFree: missing");
    return false;
  }

  void Export(NotationReader& args) {
    const std::string name = args.Word();
    if (!PrepareExports()) return;
    std::string missing = "export ";
    missing += name;
    missing += ": missing";
    if (name == "ListNativeDrives") {
      auto list = ProgramExport<void (*)(NativeCallback)>("ListNativeDrives");
      if (!list) return Record(missing);
      list(CollectNativeMessage);
      return RecordNativeMessages();
    }
    std::vector<std::string> texts;
    std::vector<const char*> types;
    if (name == "StartNativeRecovery") {
      auto start =
          ProgramExport<void (*)(const char*, const char*, const char**, int32_t, NativeCallback)>(
              "StartNativeRecovery");
      if (!start) return Record(missing);
      const std::string& drive = Kept(args.Value());
      const std::string& outdir = Kept(args.Value());
      if (!args.AtEnd()) {
        const EncodableValue list = args.Value();
        const auto* items = std::get_if<flutter::EncodableList>(&list);
        if (!items) throw NotationError("extensions must be a list of strings");
        for (const EncodableValue& item : *items) types.push_back(Kept(item).c_str());
      }
      start(drive.c_str(), outdir.c_str(), types.empty() ? nullptr : types.data(),
            static_cast<int32_t>(types.size()), CollectNativeMessage);
    } else if (name == "StartNativeDiskImage") {
      auto start =
          ProgramExport<void (*)(const char*, const char*, NativeCallback)>("StartNativeDiskImage");
      if (!start) return Record(missing);
      const std::string& source = Kept(args.Value());
      const std::string& output = Kept(args.Value());
      start(source.c_str(), output.c_str(), CollectNativeMessage);
    } else {
      throw NotationError(Cat({"unknown export: ", name}));
    }
    bool finished = false;
    if (WaitFor(
            [&] {
              RecordNativeMessages(&finished);
              return finished;
            },
            waitMs_))
      return;
    std::string line = "timeout export ";
    line += name;
    Record(line);
    if (auto cancel = ProgramExport<void (*)()>("CancelNativeRecovery")) cancel();
  }

  // Texts handed to the program stay alive for the rest of the process, in case it keeps them.
  const std::string& Kept(const EncodableValue& value) {
    const auto* text = std::get_if<std::string>(&value);
    if (!text) throw NotationError("string expected");
    kept_.push_back(*text);
    return kept_.back();
  }

  void TableCall(const std::string& line, NotationReader& args, bool drag_table) {
    const int64_t slot = static_cast<int64_t>(UnsignedWord(args.Word()));
    auto api = ProgramExport<const WindowApi* (*)()>("bitsdojo_window_api");
    const WindowApi* tables = api ? api() : nullptr;
    const Slot* table = tables ? (drag_table ? tables->drag : tables->window) : nullptr;
    if (!table) {
      while (!args.AtEnd()) args.Value();
      return Record(line + ": no table");
    }
    const auto integer = [&] {
      const EncodableValue value = args.Value();
      const auto* n = std::get_if<int32_t>(&value);
      if (!n) throw NotationError("32-bit integer expected");
      return *n;
    };
    const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
    std::string result = "done";
    if (drag_table) {
      if (slot != 0) throw NotationError("the drag table has slot 0 only");
      const ButtonReleaser releaser(top_);
      result = flag(reinterpret_cast<bool (*)()>(table[0])());
    } else if (slot == 0 || slot == 6) {
      result = flag(reinterpret_cast<bool (*)()>(table[slot])());
    } else if (slot == 1) {
      const HWND window = reinterpret_cast<HWND (*)()>(table[1])();
      result = window == top_ ? "top-level window" : (window ? "another window" : "null");
    } else if (slot == 2) {
      const EncodableValue value = args.Value();
      const auto* shown = std::get_if<bool>(&value);
      if (!shown) throw NotationError("bool expected");
      reinterpret_cast<void (*)(bool)>(table[2])(*shown);
    } else if (slot == 3 || slot == 4) {
      const int width = integer();
      const int height = integer();
      reinterpret_cast<void (*)(int, int)>(table[slot])(width, height);
    } else if (slot == 5) {
      reinterpret_cast<void (*)(int)>(table[5])(integer());
    } else {
      throw NotationError("no such window table slot");
    }
    Record(line + ": " + result);
  }

  void Run(const std::string& line) {
    NotationReader args(line);
    const std::string command = args.Word();
    const auto optionalValue = [&]() -> std::unique_ptr<EncodableValue> {
      if (args.AtEnd()) return nullptr;
      return std::make_unique<EncodableValue>(args.Value());
    };
    if (command == "call") {
      const std::string channel = args.Word();
      const std::string method = args.Word();
      Call(channel, method, optionalValue());
    } else if (command == "listen" || command == "cancel") {
      const std::string channel = args.Word();
      Call(channel, command, optionalValue());
    } else if (command == "await-event") {
      AwaitEvent(args.Word());
    } else if (command == "drag") {
      Call("bitsdojo/window", "dragAppWindow", nullptr, true);
    } else if (command == "send-window-message") {
      if (args.Word() != "devicechange") throw NotationError("only devicechange can be sent");
      const uint64_t wparam = UnsignedWord(args.Word());
      DEV_BROADCAST_VOLUME volume{};
      LPARAM lparam = 0;
      if (!args.AtEnd()) {
        const std::string letter = args.Word();
        const char drive = static_cast<char>(letter[0] & ~0x20);
        if (drive < 'A' || drive > 'Z') throw NotationError("drive letter expected");
        volume.dbcv_size = sizeof volume;
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = 1u << (drive - 'A');
        lparam = reinterpret_cast<LPARAM>(&volume);
      }
      const LRESULT result = SendMessageW(top_, WM_DEVICECHANGE, wparam, lparam);
      Record(Cat({"devicechange ", Hex(wparam), ": ", std::to_string(result)}));
    } else if (command == "window-visible") {
      Record(std::string("window-visible ") + (IsWindowVisible(top_) ? "true" : "false"));
    } else if (command == "show") {
      ShowWindow(top_, SW_SHOWNORMAL);
      Record("show");
    } else if (command == "window-table" || command == "drag-table") {
      TableCall(line, args, command == "drag-table");
    } else if (command == "plugins") {
      Record(Cat({"plugins registered: ", Joined(FakeRuntimeRegisteredPlugins())}));
      Record(Cat({"registrars requested: ", Joined(FakeRuntimeRequestedRegistrars())}));
    } else if (command == "export") {
      Export(args);
    } else if (command == "sleep") {
      const auto ms = static_cast<DWORD>(UnsignedWord(args.Word()));
      WaitFor([] { return false; }, ms);
    } else if (command == "timeout") {
      waitMs_ = static_cast<DWORD>(UnsignedWord(args.Word()));
    } else {
      throw NotationError(Cat({"unknown command: ", command}));
    }
    if (!args.AtEnd()) throw NotationError("unexpected text after the command");
  }

  HWND top_;
  FlutterDesktopEngineRef engine_;
  std::FILE* out_;
  DWORD waitMs_ = kDefaultWaitMs;
  bool quit_ = false;
  WPARAM quitCode_ = 0;
  std::set<size_t> reported_;     // log entries the transcript has shown
  std::deque<std::string> kept_;  // a deque never moves its elements
};

std::vector<std::string> ReadLines(std::FILE* file) {
  std::vector<std::string> lines(1);
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += static_cast<char>(c);
    }
  }
  return lines;
}

}  // namespace

bool ClaimUiScript() {
  static bool claimed = false;
  if (claimed || EnvironmentValue(L"QUARVELIN_UI_SCRIPT").empty()) return false;
  claimed = true;
  return true;
}

void PlayUiScript(HWND view, FlutterDesktopEngineRef engine) {
  const std::wstring transcriptPath = EnvironmentValue(L"QUARVELIN_UI_TRANSCRIPT");
  std::FILE* out = transcriptPath.empty() ? stdout : _wfopen(transcriptPath.c_str(), L"wb");
  if (!out) out = stdout;
  const std::wstring scriptPath = EnvironmentValue(L"QUARVELIN_UI_SCRIPT");
  std::vector<std::string> lines;
  std::optional<std::string> fault;
  if (std::FILE* script = _wfopen(scriptPath.c_str(), L"rb")) {
    lines = ReadLines(script);
    std::fclose(script);
  } else {
    fault = "the script cannot be read";
  }
  Player(view, engine, out).Play(lines, fault);
  if (out != stdout) std::fclose(out);
}

}  // namespace quarvelin::fake
