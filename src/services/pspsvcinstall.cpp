// pspsvcinstall.cpp - installing and removing a service under systemd.
//
// Install writes "<service>.service" into the unit directory, then asks the
// manager's program to reload, enable and start it, raising the install count
// between enable and start. Every step that fails undoes the ones before it,
// so a failed install leaves no unit, no enablement and the count as it was.
// Removal stops the service (waiting a bounded time), disables it, removes
// the unit, reloads and lowers the count.
//
// Install runs as root, so caller text is hostile: names must be valid unit
// names (serviceNameValid) and are checked before anything is written; no
// text may carry a control character other than tab; the display name and
// account have '%' doubled (systemd specifiers); the program and each of its
// arguments are written as double-quoted words with '\', '"', '%' and '$'
// escaped, so no caller text can end a line, start a directive, expand a
// specifier or a variable, or split the command; a line that would end in a
// backslash (a continuation) gets a space. The description goes on comment
// lines. The password is never used: systemd has none.
#include "internal.h"
#include "platform/os.h"
#include "services/scratch.h"
#include "testing.h"

#include <cerrno>
#include <cstring>

namespace psp {

namespace {

// How long removal lets a stop run. systemd's stop job goes on without us
// (and kills the service after its own time-out), so this only bounds how
// long the caller waits before the unit is disabled and removed.
constexpr uint32_t kStopWaitMs = 30000;

} // namespace

#ifdef PSP_TESTING
uint32_t testing::g_serviceStopWaitMs = kStopWaitMs;
#endif

namespace {

uint32_t stopWaitMs() {
#ifdef PSP_TESTING
  return testing::g_serviceStopWaitMs;
#else
  return kStopWaitMs;
#endif
}

bool controlChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7F;
}

// No control character but tab; NULL counts as empty.
bool plainText(const char *text) {
  for (const char *p = text; p != nullptr && *p != '\0'; ++p)
    if (controlChar(*p))
      return false;
  return true;
}

PSP_STATUS fromError(int error) {
  return error == EACCES || error == EPERM ? PSP_ERR_ACCESS : PSP_ERR_SYSTEM;
}

// Two passes over the same calls: with out NULL it only counts.
class UnitWriter {
public:
  explicit UnitWriter(char *out) : out_(out) {}
  size_t used() const { return used_; }

  void put(char c) {
    if (out_ != nullptr)
      out_[used_] = c;
    ++used_;
    last_ = c;
  }
  void put(const char *text) {
    while (*text != '\0')
      put(*text++);
  }
  void endLine() {
    if (last_ == '\\')
      put(' ');
    put('\n');
  }
  // Text where systemd expands specifiers.
  void putSpecifierSafe(const char *text) {
    for (; *text != '\0'; ++text) {
      if (*text == '%')
        put('%');
      put(*text);
    }
  }
  // One argument as a quoted word; begin/end bracket its characters.
  void wordBegin() {
    if (used_ != lineStart_)
      put(' ');
    put('"');
  }
  void wordChar(char c) {
    if (c == '\\' || c == '"')
      put('\\');
    else if (c == '%' || c == '$')
      put(c);
    put(c);
  }
  void wordEnd() { put('"'); }
  void lineBegin() { lineStart_ = used_; }

private:
  char *out_;
  size_t used_ = 0;
  size_t lineStart_ = 0;
  char last_ = '\n';
};

// The arguments as a command line splits them: blanks separate words, double
// quotes group blanks into a word, \" is a literal quote.
void putArguments(UnitWriter &w, const char *arguments) {
  const char *p = arguments == nullptr ? "" : arguments;
  for (;;) {
    while (*p == ' ' || *p == '\t')
      ++p;
    if (*p == '\0')
      return;
    bool quoted = false;
    w.wordBegin();
    for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
      if (*p == '\\' && p[1] == '"')
        w.wordChar(*++p);
      else if (*p == '"')
        quoted = !quoted;
      else
        w.wordChar(*p);
    }
    w.wordEnd();
  }
}

struct UnitText {
  const char *name, *displayName, *description, *path, *arguments, *account;
};

void render(UnitWriter &w, const UnitText &unit) {
  w.put("# Installed by psp for \"");
  w.put(unit.name);
  w.put("\".");
  w.endLine();
  // The description, one comment line per line of it.
  for (const char *p = unit.description; p != nullptr && *p != '\0';) {
    w.put("# ");
    for (; *p != '\0' && *p != '\n' && *p != '\r'; ++p)
      w.put(controlChar(*p) ? ' ' : *p);
    w.endLine();
    if (*p == '\r' && p[1] == '\n')
      ++p;
    if (*p != '\0')
      ++p;
  }
  w.put("[Unit]\nDescription=");
  w.putSpecifierSafe(unit.displayName);
  w.endLine();
  w.put("\n[Service]\nType=notify\n");
  w.put("ExecStart=");
  w.lineBegin();
  w.wordBegin();
  for (const char *p = unit.path; *p != '\0'; ++p)
    w.wordChar(*p);
  w.wordEnd();
  putArguments(w, unit.arguments);
  w.endLine();
  if (unit.account != nullptr) {
    w.put("User=");
    w.putSpecifierSafe(unit.account);
    w.endLine();
  }
  w.put("Restart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n");
}

// The unit's names and the manager's program, made once per call.
struct Unit {
  Scratch scratch;
  const char *program = os::svc::controlProgram();
  char *name = nullptr; // "<service>.service"
  char *path = nullptr; // "<unit dir>/<service>.service"

  bool make(const char *serviceName) {
    name = scratch.join(serviceName, ".service");
    path = name == nullptr ? nullptr : scratch.join(os::svc::unitDirectory(), "/", name);
    return path != nullptr;
  }
  // Names the unit, checks that the unit directory and the manager's
  // program can be used and looks for the unit file.
  PSP_STATUS find(const char *serviceName, bool &present) {
    if (!make(serviceName))
      return PSP_ERR_NOMEMORY;
    if (int error = os::svc::directoryUsable(os::svc::unitDirectory()))
      return fromError(error);
    if (int error = os::svc::programUsable(program))
      return fromError(error);
    int error = os::svc::probe(path);
    if (error != 0 && error != ENOENT)
      return fromError(error);
    present = error == 0;
    return PSP_OKAY;
  }
  // One manager command: the program's own failure is PSP_ERR_SYSTEM.
  PSP_STATUS run(const char *verb, bool withUnit = true, uint32_t timeoutMs = 0) const {
    const char *argv[] = {program, verb, withUnit ? name : nullptr, nullptr};
    int exitCode = 0;
    if (int error = os::svc::programRun(argv, timeoutMs, exitCode))
      return fromError(error);
    return exitCode == 0 ? PSP_OKAY : PSP_ERR_SYSTEM;
  }
  void reload() const { run("daemon-reload", false); }
  // Takes an installed unit away again; true when its file is gone.
  bool undo() const {
    run("disable");
    bool removed = os::svc::fileRemove(path) == 0;
    reload();
    return removed;
  }
};

} // namespace
} // namespace psp

using namespace psp;

PSP_API PSP_STATUS psp_serviceInstall(const char *name, const char *serviceName,
                                      const char *displayName, const char *description,
                                      const char *path, const char *arguments, const char *account,
                                      const char *) {
  if (!initialised())
    return PSP_ERR_SYSTEM;
  if (!serviceNameValid(name) || !serviceNameValid(serviceName))
    return PSP_ERR_SYSTEM;
  if (displayName == nullptr || displayName[0] == '\0')
    displayName = serviceName;
  if (path == nullptr || path[0] != '/' || !plainText(path) || !plainText(displayName) ||
      !plainText(arguments))
    return PSP_ERR_SYSTEM;
  const char *user = account != nullptr && account[0] != '\0' ? account : nullptr;
  if (user != nullptr && !plainText(user))
    return PSP_ERR_ACCOUNT;

  Unit unit;
  bool present = false;
  if (PSP_STATUS status = unit.find(serviceName, present))
    return status;
  if (present)
    return PSP_EXISTS;
  if (user != nullptr && !os::svc::accountExists(user))
    return PSP_ERR_ACCOUNT;

  UnitText text{name, displayName, description, path, arguments, user};
  UnitWriter measure(nullptr);
  render(measure, text);
  char *bytes = unit.scratch.take(measure.used());
  if (bytes == nullptr)
    return PSP_ERR_NOMEMORY;
  UnitWriter writer(bytes);
  render(writer, text);
  int error = os::svc::fileCreateNew(unit.path, bytes, writer.used());
  if (error != 0)
    return error == EEXIST ? PSP_EXISTS : fromError(error);

  // From here on every failure undoes what was done.
  PSP_STATUS status = unit.run("daemon-reload", false);
  if (status != PSP_OKAY) {
    os::svc::fileRemove(unit.path);
    return status;
  }
  status = unit.run("enable");
  if (status == PSP_OKAY && registryAdjust(name, 1) != PSP_OKAY)
    status = PSP_ERR_SYSTEM;
  if (status != PSP_OKAY) {
    unit.undo();
    return status;
  }
  if (unit.run("start") == PSP_OKAY)
    return PSP_OKAY;
  if (unit.undo())
    registryAdjust(name, -1);
  // The program did not come up: its account may not run it at all.
  return os::svc::accountCanRun(user, path) ? PSP_ERR_SYSTEM : PSP_ERR_LOGON;
}

PSP_API PSP_STATUS psp_serviceUninstall(const char *name, const char *serviceName) {
  if (!initialised())
    return PSP_ERR_NOMEMORY;
  if (!serviceNameValid(name) || !serviceNameValid(serviceName))
    return PSP_ERR_SYSTEM;
  Unit unit;
  bool present = false;
  if (PSP_STATUS status = unit.find(serviceName, present))
    return status;
  if (!present)
    return PSP_ERR_OPENFIRST;

  // Whether it stopped or not, removal goes on once the wait is over.
  unit.run("stop", true, stopWaitMs());
  if (PSP_STATUS status = unit.run("disable"))
    return status; // still installed and enabled; the caller may try again
  if (os::svc::fileRemove(unit.path) != 0)
    return PSP_ERR_SYSTEM;
  unit.reload();
  registryAdjust(name, -1);
  return PSP_OKAY;
}
