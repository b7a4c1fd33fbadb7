// Running as a service and installing and removing one. On POSIX with a
// temporary unit directory, store root and a recording stand-in for
// systemctl, the readiness protocol against a real datagram socket; on
// Windows through the registry and the service manager, with the program of
// service_host.c as the service.
#include "psp.h"

#include "../watchdog.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using psp_test::slurp;
using psp_test::spill;

// The stand-in records its arguments and fails the verbs listed in $FAIL.
const char kStandIn[] = "#!/bin/sh\n"
                        "echo \"$*\" >> \"$PSP_TEST_LOG\"\n"
                        "case \" $FAIL \" in *\" $1 \"*) exit 1;; esac\n";

class Service : public ::testing::Test {
protected:
#ifdef _WIN32
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }

  // The service notes "started" and "stopped" in the file marker(name).
  std::string marker(const char *name) const { return dir_ / (std::string(name) + ".txt"); }
  PSP_STATUS install(const char *name, const char *path = nullptr) {
    char self[MAX_PATH];
    std::string host(self, GetModuleFileNameA(nullptr, self, sizeof self));
    host = host.substr(0, host.find_last_of('\\') + 1) + "psp_service_host.exe";
    const std::string arguments = std::string(name) + " " + marker(name);
    return psp_serviceInstall(name, name, "Demo", "A demo.", path ? path : host.c_str(),
                              arguments.c_str(), nullptr, nullptr);
  }
  // Polls without a limit of its own: the watchdog ends a wait that hangs.
  void waitFor(const char *name, const std::string &state) const {
    while (slurp(marker(name)) != state)
      Sleep(20);
  }
#else
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "units");
    spill(dir_ / "systemctl", kStandIn, 0755);
    spill(dir_ / "server", "#!/bin/sh\n", 0755);
    setenv("PSP_SYSTEMD_UNIT_DIR", (dir_ / "units").c_str(), 1);
    setenv("PSP_REGISTRY_ROOT", dir_.path().c_str(), 1);
    setenv("PSP_SYSTEMCTL", (dir_ / "systemctl").c_str(), 1);
    setenv("PSP_TEST_LOG", (dir_ / "log").c_str(), 1);
    unsetenv("FAIL");
    unsetenv("NOTIFY_SOCKET");
    ASSERT_EQ(psp_init(), PSP_OKAY);
  }
  void TearDown() override { psp_term(); }

  std::string unit(const std::string &name) const { return dir_ / ("units/" + name + ".service"); }
  std::string log() const { return slurp(dir_ / "log"); }
  bool unitDirEmpty() const {
    return std::system(("test -z \"$(ls -A '" + (dir_ / "units") + "')\"").c_str()) == 0;
  }
  PSP_STATUS install(const char *name, const char *args = "-v", const char *account = nullptr,
                     const char *path = nullptr) {
    std::string server = dir_ / "server";
    return psp_serviceInstall(name, name, "Demo", "A demo.", path ? path : server.c_str(), args,
                              account, "hunter2-secret");
  }
#endif
  psp_test::ScratchDir dir_;
};

} // namespace

TEST_F(Service, InstallThenUninstall) {
  psp_test::Watchdog watchdog(120);
#ifdef _WIN32
  const char *name = "psp_svc_install";
  psp_serviceUninstall(name, name); // a leftover of an earlier run
#else
  const char *name = "demo";
  spill(dir_.store(), "other=7\n");
#endif
  const uint32_t before = dir_.count(name);
  ASSERT_EQ(install(name), PSP_OKAY);
  EXPECT_EQ(dir_.count(name), before + 1);
  EXPECT_EQ(install(name), PSP_EXISTS);
  EXPECT_EQ(dir_.count(name), before + 1);
#ifdef _WIN32
  waitFor(name, "started");
  ASSERT_EQ(psp_serviceUninstall(name, name), PSP_OKAY);
  waitFor(name, "stopped");
  EXPECT_EQ(dir_.count(name), before);
  // Until its process has ended the service is only marked for deletion, and
  // removing it again fails (1072) rather than finding nothing.
  PSP_STATUS again;
  while ((again = psp_serviceUninstall(name, name)) == PSP_ERR_SYSTEM)
    Sleep(20);
  EXPECT_EQ(again, PSP_ERR_OPENFIRST);
#else
  EXPECT_EQ(slurp(unit("demo")), "# Installed by psp for \"demo\".\n# A demo.\n[Unit]\n"
                                 "Description=Demo\n\n[Service]\nType=notify\nExecStart=\"" +
                                     (dir_ / "server") +
                                     "\" \"-v\"\nRestart=on-failure\n\n[Install]\n"
                                     "WantedBy=multi-user.target\n");
  EXPECT_EQ(log(), "daemon-reload\nenable demo.service\nstart demo.service\n");
  EXPECT_EQ(slurp(dir_.store()), "other=7\ndemo=1\n");
  ASSERT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(log(), "daemon-reload\nenable demo.service\nstart demo.service\n"
                   "stop demo.service\ndisable demo.service\ndaemon-reload\n");
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_EQ(slurp(dir_.store()), "other=7\ndemo=0\n");
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_ERR_OPENFIRST);
  spill(unit("demo"), "[Unit]\n"); // put there by hand: the count stays at 0
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(slurp(dir_.store()), "other=7\ndemo=0\n");
  EXPECT_NE(std::system(("grep -rq hunter2 '" + dir_.path() + "'").c_str()), 0); // no password
#endif
}

TEST_F(Service, RollBackAtEachFailingStep) {
#ifdef _WIN32
  // Only the start can be made to fail through the manager: no such program.
  const char *name = "psp_svc_rollback";
  dir_.setCount(name, 2);
  EXPECT_EQ(install(name, (dir_ / "missing.exe").c_str()), PSP_ERR_SYSTEM);
  EXPECT_EQ(dir_.count(name), 2u);
  EXPECT_EQ(psp_serviceUninstall(name, name), PSP_ERR_OPENFIRST);
  dir_.setCount(name, 0);
#else
  spill(dir_ / "plain", "#!/bin/sh\n", 0644); // no one may execute it
  const char *undone = "disable x.service\ndaemon-reload\n";
  struct Case {
    const char *fail;
    bool runnable;
    PSP_STATUS status;
    std::string log;
  } cases[] = {
      {"daemon-reload", true, PSP_ERR_SYSTEM, "daemon-reload\n"},
      {"enable", true, PSP_ERR_SYSTEM, std::string("daemon-reload\nenable x.service\n") + undone},
      {"start", true, PSP_ERR_SYSTEM,
       "daemon-reload\nenable x.service\nstart x.service\n" + std::string(undone)},
      {"start", false, PSP_ERR_LOGON,
       "daemon-reload\nenable x.service\nstart x.service\n" + std::string(undone)},
  };
  for (const Case &c : cases) {
    spill(dir_.store(), "x=2\n");
    unlink((dir_ / "log").c_str());
    setenv("FAIL", c.fail, 1);
    std::string plain = dir_ / "plain";
    EXPECT_EQ(install("x", "", nullptr, c.runnable ? nullptr : plain.c_str()), c.status) << c.fail;
    EXPECT_EQ(log(), c.log) << c.fail;
    EXPECT_TRUE(unitDirEmpty()) << c.fail;
    EXPECT_EQ(slurp(dir_.store()), "x=2\n") << c.fail;
  }
#endif
}

// POSIX only: Wine's manager neither checks accounts nor refuses anyone access.
#ifndef _WIN32
TEST_F(Service, AccountsAndManagerAccess) {
  EXPECT_EQ(install("a", "", "no-such-user-psp"), PSP_ERR_ACCOUNT);
  EXPECT_EQ(install("a", "", "root\nExecStartPre=/bin/false"), PSP_ERR_ACCOUNT);
  EXPECT_TRUE(unitDirEmpty());
  const passwd *me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  ASSERT_EQ(install("a", "", me->pw_name), PSP_OKAY);
  EXPECT_NE(slurp(unit("a")).find(std::string("\nUser=") + me->pw_name + "\n"), std::string::npos);

  setenv("PSP_SYSTEMCTL", (dir_ / "no-such-program").c_str(), 1);
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_serviceUninstall("a", "a"), PSP_ERR_SYSTEM);
  setenv("PSP_SYSTEMCTL", (dir_ / "systemctl").c_str(), 1);
  setenv("PSP_SYSTEMD_UNIT_DIR", (dir_ / "server").c_str(), 1); // not a directory
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  if (geteuid() != 0) { // the superuser may write anywhere
    chmod((dir_ / "units").c_str(), 0555);
    setenv("PSP_SYSTEMD_UNIT_DIR", (dir_ / "units").c_str(), 1);
    EXPECT_EQ(install("b"), PSP_ERR_ACCESS);
    chmod((dir_ / "units").c_str(), 0755);
  }
  EXPECT_EQ(log(), "daemon-reload\nenable a.service\nstart a.service\n");
}
#endif

TEST_F(Service, BadInputIsRefusedBeforeAnythingIsWritten) {
  const std::string tooLong(248, 'a'), server = dir_ / "server";
#ifdef _WIN32
  // Windows asks only for a name with a UTF-16 form; the manager judges the rest.
  const char *names[] = {nullptr, ""};
  const PSP_STATUS badName = PSP_ERR_NOMEMORY, badService = PSP_ERR_OPENFIRST;
  EXPECT_EQ(psp_serviceInstall("\xff", "ok", "D", nullptr, server.c_str(), "", nullptr, nullptr),
            PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_serviceUninstall("\xff", "ok"), PSP_ERR_NOMEMORY);
#else
  const char *names[] = {nullptr, "",   "a/b",  "..",  "a..b",     "a\nb", "a=b",          "a\x01z",
                         "a b",   ".x", "-opt", "a@b", "\xC3\xA9", "a\\b", tooLong.c_str()};
  const PSP_STATUS badName = PSP_ERR_SYSTEM, badService = PSP_ERR_SYSTEM;
#endif
  for (const char *bad : names) {
    EXPECT_EQ(psp_serviceInstall(bad, "ok", "D", nullptr, server.c_str(), "", nullptr, nullptr),
              PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_serviceInstall("ok", bad, "D", nullptr, server.c_str(), "", nullptr, nullptr),
              PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_serviceUninstall(bad, "ok"), badName);
    EXPECT_EQ(psp_serviceUninstall("ok", bad), badService);
  }
  EXPECT_EQ(psp_serviceInstall("ok", "ok", "D", nullptr, nullptr, "", nullptr, nullptr),
            PSP_ERR_SYSTEM);
  EXPECT_EQ(dir_.count("ok"), 0u);
#ifndef _WIN32
  struct Text {
    const char *display, *path, *args;
  } texts[] = {{"x\nExecStartPre=/bin/sh", nullptr, ""},
               {"D", "relative/server", ""},
               {"D", nullptr, "a\nExecStartPre=/bin/sh"},
               {"D", nullptr, "a\rb"},
               {"D", "/bin/x\ny", ""},
               {"x\x7f", nullptr, ""}};
  for (const Text &t : texts)
    EXPECT_EQ(psp_serviceInstall("ok", "ok", t.display, nullptr, t.path ? t.path : server.c_str(),
                                 t.args, nullptr, nullptr),
              PSP_ERR_SYSTEM);
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_NE(access((dir_ / "log").c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ / "SOFTWARE").c_str(), F_OK), 0);
  EXPECT_EQ(install(std::string(247, 'a').c_str()), PSP_OKAY); // the longest name that fits
#endif
}

// POSIX only: Windows writes no unit file; the manager keeps each text apart.
#ifndef _WIN32
TEST_F(Service, CallerTextCannotAddDirectives) {
  ASSERT_EQ(psp_serviceInstall("h", "h", "%n $HOME \\",
                               "one\nExecStartPre=/bin/false\\\r\nthree\x01\\",
                               (dir_ / "server").c_str(),
                               "a \"b c\" \\\"d %i $USER ${X} ; 'e' f\\\\g \\", nullptr, nullptr),
            PSP_OKAY);
  std::istringstream lines(slurp(unit("h")));
  std::vector<std::string> directives;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.empty() || line.back() != '\\') << line; // no continuation
    if (!line.empty() && line[0] != '#' && line[0] != '[')
      directives.push_back(line);
  }
  std::string exec = "ExecStart=\"" + (dir_ / "server") +
                     R"(" "a" "b c" "\"d" "%%i" "$$USER" "$${X}" ";" "'e'" "f\\\\g" "\\")";
  std::vector<std::string> want = {"Description=%%n $HOME \\ ", "Type=notify", exec,
                                   "Restart=on-failure", "WantedBy=multi-user.target"};
  EXPECT_EQ(directives, want);
}
#endif

namespace {

uint16_t g_stopFlag;

int32_t consoleMain(uint32_t a, void *b) {
  psp_serviceStarted(); // no effect outside a service
  psp_serviceDone();
  *static_cast<std::thread::id *>(b) = std::this_thread::get_id();
  return static_cast<int32_t>(a) + 1;
}

} // namespace

TEST_F(Service, ConsoleFallback) {
  const char *name = "psp_svc_console";
  std::thread::id ran{};
  EXPECT_EQ(psp_serviceStart(name, &g_stopFlag, 41, &ran, consoleMain), 42); // not installed
  EXPECT_EQ(ran, std::this_thread::get_id());
  dir_.setCount(name, 1); // installed, not started by the manager (Windows: the dispatcher's 1063)
  EXPECT_EQ(psp_serviceStart(name, &g_stopFlag, 6, &ran, consoleMain), 7);
  dir_.setCount(name, 0);
#ifndef _WIN32
  setenv("NOTIFY_SOCKET", "/nowhere", 1); // started by a manager, not installed
  EXPECT_EQ(psp_serviceStart(name, nullptr, 1, &ran, consoleMain), 2);
#endif
  EXPECT_EQ(psp_serviceStart(name, nullptr, 1, &ran, nullptr), PSP_ERR_SYSTEM);
  EXPECT_EQ(g_stopFlag, 0);
  psp_errPrint("psp_errPrint line");
}

// POSIX only: on Windows InstallThenUninstall runs the service through the
// real manager's life cycle.
#ifndef _WIN32
namespace {

// As a service: on its own thread, ready at once, done when asked to stop.
int32_t serviceMain(uint32_t a, void *caller) {
  if (a != 5 || *static_cast<std::thread::id *>(caller) == std::this_thread::get_id())
    return 1;
  psp_serviceStarted();
  for (int i = 0; i < 20000 && __atomic_load_n(&g_stopFlag, __ATOMIC_RELAXED) == 0; ++i)
    psp_sleep(1);
  psp_serviceDone();
  return 99;
}

} // namespace

// The child plays the manager with a bound datagram socket; the service runs
// in a grandchild, which the child signals.
TEST_F(Service, LifeCycleUnderTheManager) {
  spill(dir_.store(), "life=1\n");
  std::string socketPath = dir_ / "notify";
  for (int sig : {SIGTERM, SIGINT}) {
    auto r = psp_test::runInChild(60, [&] {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, socketPath.c_str());
      unlink(socketPath.c_str());
      timeval wait{20, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return false;
      setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
      pid_t service = fork();
      if (service == 0) {
        struct sigaction ignore {
        }, term{}, intr{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, nullptr);
        std::thread::id self = std::this_thread::get_id();
        int32_t rc = psp_serviceStart("life", &g_stopFlag, 5, &self, serviceMain);
        sigaction(SIGINT, nullptr, &intr); // dispositions as they were
        sigaction(SIGTERM, nullptr, &term);
        _exit(rc == 0 && g_stopFlag == 1 && intr.sa_handler == SIG_IGN && term.sa_handler == SIG_DFL
                  ? 0
                  : 3);
      }
      auto next = [fd] {
        char message[64] = {};
        return recv(fd, message, sizeof message - 1, 0) > 0 ? std::string(message) : "";
      };
      EXPECT_EQ(next(), "READY=1");
      kill(service, sig);
      EXPECT_EQ(next(), "STOPPING=1");
      int status = 0;
      waitpid(service, &status, 0);
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    });
    EXPECT_TRUE(r.ok()) << sig << ": " << psp_test::describe(r);
  }
}
#endif
