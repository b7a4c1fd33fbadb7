// Running as a service, installing and removing one. POSIX: a scratch unit directory and store,
// a recording stand-in for systemctl, the readiness protocol on a real datagram socket. Windows:
// the registry and the service manager, running the program of service_host.c.
#include "../watchdog.h"
#include "scratch_dir.h"

#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

using psp_test::namesIn;

namespace {

class Service : public ServiceDir {
protected:
#ifdef _WIN32
  // The service notes "started" and "stopped" in the file name.txt.
  PSP_STATUS install(const char *name, const char *path = nullptr) {
    char self[MAX_PATH];
    std::string host(self, GetModuleFileNameA(nullptr, self, sizeof self));
    host = host.substr(0, host.find_last_of('\\') + 1) + "psp_service_host.exe";
    const std::string arguments = std::string(name) + " " + at(std::string(name) + ".txt");
    return psp_serviceInstall(name, name, "Demo", "A demo.", path ? path : host.c_str(),
                              arguments.c_str(), nullptr, nullptr);
  }
  // Polls without a limit of its own: the watchdog ends a wait that hangs.
  void waitFor(const char *name, const std::string &state) const {
    while (get(std::string(name) + ".txt") != state)
      Sleep(20);
  }
#else
  void SetUp() override {
    ServiceDir::SetUp();
    // The stand-in records its arguments and fails the verbs listed in $FAIL.
    put("systemctl",
        "#!/bin/sh\necho \"$*\" >> \"$PSP_TEST_LOG\"\n"
        "case \" $FAIL \" in *\" $1 \"*) exit 1;; esac\n",
        0755);
    put("server", "#!/bin/sh\n", 0755);
    std::filesystem::create_directory(at("units"));
    setenv("PSP_SYSTEMD_UNIT_DIR", at("units").c_str(), 1);
    setenv("PSP_SYSTEMCTL", at("systemctl").c_str(), 1);
    setenv("PSP_TEST_LOG", at("log").c_str(), 1);
    unsetenv("FAIL");
    unsetenv("NOTIFY_SOCKET");
  }
  std::string unit(const std::string &name) const { return get("units/" + name + ".service"); }
  bool unitDirEmpty() const { return namesIn(at("units")).empty(); }
  PSP_STATUS install(const char *name, const char *args = "-v", const char *account = nullptr,
                     const char *path = nullptr) {
    return psp_serviceInstall(name, name, "Demo", "A demo.", path ? path : at("server").c_str(),
                              args, account, "hunter2-secret");
  }
#endif
};

uint16_t g_stopFlag;

} // namespace

TEST_F(Service, InstallThenUninstall) {
  psp_test::Watchdog watchdog(120);
#ifdef _WIN32
  const char *name = "psp_svc_install";
  psp_serviceUninstall(name, name); // a leftover of an earlier run
#else
  const char *name = "demo";
  put(kStore, "other=7\n");
#endif
  const uint32_t before = count(name);
  ASSERT_EQ(install(name), PSP_OKAY);
  EXPECT_EQ(install(name), PSP_EXISTS);
  EXPECT_EQ(count(name), before + 1);
#ifdef _WIN32
  waitFor(name, "started");
  ASSERT_EQ(psp_serviceUninstall(name, name), PSP_OKAY);
  waitFor(name, "stopped");
  EXPECT_EQ(count(name), before);
  // Until its process has ended the service is only marked for deletion, and
  // removing it again fails (1072) rather than finding nothing.
  PSP_STATUS again;
  while ((again = psp_serviceUninstall(name, name)) == PSP_ERR_SYSTEM)
    Sleep(20);
  EXPECT_EQ(again, PSP_ERR_OPENFIRST);
#else
  EXPECT_EQ(unit("demo"),
            "# Installed by psp for \"demo\".\n# A demo.\n[Unit]\nDescription=Demo\n\n"
            "[Service]\nType=notify\nExecStart=\"" +
                at("server") +
                "\" \"-v\"\nRestart=on-failure\n\n[Install]\n"
                "WantedBy=multi-user.target\n");
  const std::string installed = "daemon-reload\nenable demo.service\nstart demo.service\n";
  EXPECT_EQ(get("log"), installed);
  EXPECT_EQ(get(kStore), "other=7\ndemo=1\n");
  ASSERT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(get("log"), installed + "stop demo.service\ndisable demo.service\ndaemon-reload\n");
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_ERR_OPENFIRST);
  put("units/demo.service", "[Unit]\n"); // put there by hand: the count stays at 0
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(get(kStore), "other=7\ndemo=0\n");
  EXPECT_NE(std::system(("grep -rq hunter2 '" + dir_ + "'").c_str()), 0); // no password
#endif
}

TEST_F(Service, RollBackAtEachFailingStep) {
#ifdef _WIN32
  // Only the start can be made to fail through the manager: no such program.
  const char *name = "psp_svc_rollback";
  setCount(name, 2);
  EXPECT_EQ(install(name, at("missing.exe").c_str()), PSP_ERR_SYSTEM);
  EXPECT_EQ(count(name), 2u);
  EXPECT_EQ(psp_serviceUninstall(name, name), PSP_ERR_OPENFIRST);
  setCount(name, 0);
#else
  put("plain", "#!/bin/sh\n");                                            // no one may execute it
  const std::string started = "daemon-reload\nenable x.service\nstart x.service\n",
                    undone = "disable x.service\ndaemon-reload\n";
  // {the verb systemctl fails, whether the program may run, status, systemctl's calls}
  const std::tuple<const char *, bool, PSP_STATUS, std::string> cases[] = {
      {"daemon-reload", true, PSP_ERR_SYSTEM, "daemon-reload\n"},
      {"enable", true, PSP_ERR_SYSTEM, "daemon-reload\nenable x.service\n" + undone},
      {"start", true, PSP_ERR_SYSTEM, started + undone},
      {"start", false, PSP_ERR_LOGON, started + undone}};
  for (const auto &[fail, runnable, status, log] : cases) {
    put(kStore, "x=2\n");
    std::remove(at("log").c_str());
    setenv("FAIL", fail, 1);
    EXPECT_EQ(install("x", "", nullptr, runnable ? nullptr : at("plain").c_str()), status) << fail;
    EXPECT_EQ(get("log"), log);
    EXPECT_TRUE(unitDirEmpty());
    EXPECT_EQ(get(kStore), "x=2\n");
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
  EXPECT_NE(unit("a").find(std::string("\nUser=") + me->pw_name + "\n"), std::string::npos);

  setenv("PSP_SYSTEMCTL", at("no-such-program").c_str(), 1);
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_serviceUninstall("a", "a"), PSP_ERR_SYSTEM);
  setenv("PSP_SYSTEMCTL", at("systemctl").c_str(), 1);
  setenv("PSP_SYSTEMD_UNIT_DIR", at("server").c_str(), 1); // not a directory
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  if (geteuid() != 0) { // the superuser may write anywhere
    chmod(at("units").c_str(), 0555);
    setenv("PSP_SYSTEMD_UNIT_DIR", at("units").c_str(), 1);
    EXPECT_EQ(install("b"), PSP_ERR_ACCESS);
    chmod(at("units").c_str(), 0755);
  }
  EXPECT_EQ(get("log"), "daemon-reload\nenable a.service\nstart a.service\n");
}
#endif

TEST_F(Service, BadInputIsRefusedBeforeAnythingIsWritten) {
  const std::string tooLong(248, 'a'), server = at("server");
  auto installAs = [&](const char *name, const char *service, const char *display = "D",
                       const char *path = nullptr, const char *args = "") {
    return psp_serviceInstall(name, service, display, nullptr, path ? path : server.c_str(), args,
                              nullptr, nullptr);
  };
#ifdef _WIN32
  // Windows asks only for a name with a UTF-16 form; the manager judges the rest.
  const char *names[] = {nullptr, ""};
  const PSP_STATUS badName = PSP_ERR_NOMEMORY, badService = PSP_ERR_OPENFIRST;
  EXPECT_EQ(installAs("\xff", "ok"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_serviceUninstall("\xff", "ok"), PSP_ERR_NOMEMORY);
#else
  const char *names[] = {nullptr, "",   "a/b",  "..",  "a..b",     "a\nb", "a=b",          "a\x01z",
                         "a b",   ".x", "-opt", "a@b", "\xC3\xA9", "a\\b", tooLong.c_str()};
  const PSP_STATUS badName = PSP_ERR_SYSTEM, badService = PSP_ERR_SYSTEM;
#endif
  for (const char *bad : names) {
    EXPECT_EQ(installAs(bad, "ok") + installAs("ok", bad), 2 * PSP_ERR_SYSTEM) << (bad ? bad : "");
    EXPECT_EQ(psp_serviceUninstall(bad, "ok"), badName);
    EXPECT_EQ(psp_serviceUninstall("ok", bad), badService);
  }
  EXPECT_EQ(psp_serviceInstall("ok", "ok", "D", nullptr, nullptr, "", nullptr, nullptr),
            PSP_ERR_SYSTEM);
  EXPECT_EQ(count("ok"), 0u);
#ifndef _WIN32
  // {display name, program, arguments}: each would end a line, or the program isn't absolute.
  // clang-format off
  const char *texts[][3] = {{"x\nExecStartPre=/bin/sh", nullptr, ""}, {"D", "relative/server", ""},
      {"D", nullptr, "a\nExecStartPre=/bin/sh"}, {"D", nullptr, "a\rb"}, {"D", "/bin/x\ny", ""},
      {"x\x7f", nullptr, ""}};
  // clang-format on
  for (const auto &t : texts)
    EXPECT_EQ(installAs("ok", "ok", t[0], t[1], t[2]), PSP_ERR_SYSTEM) << t[0] << t[2];
  EXPECT_EQ(namesIn(dir_), (std::set<std::string>{"server", "systemctl", "units"}));
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_EQ(install(std::string(247, 'a').c_str()), PSP_OKAY); // the longest name that fits
#endif
}

// POSIX only: Windows writes no unit file; the manager keeps each text apart.
#ifndef _WIN32
TEST_F(Service, CallerTextCannotAddDirectives) {
  ASSERT_EQ(psp_serviceInstall("h", "h", "%n $HOME \\",
                               "one\nExecStartPre=/bin/false\\\r\nthree\x01\\",
                               at("server").c_str(),
                               "a \"b c\" \\\"d %i $USER ${X} ; 'e' f\\\\g \\", nullptr, nullptr),
            PSP_OKAY);
  std::istringstream lines(unit("h"));
  std::vector<std::string> directives;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.empty() || line.back() != '\\') << line; // no continuation
    if (!line.empty() && line[0] != '#' && line[0] != '[')
      directives.push_back(line);
  }
  std::string exec = "ExecStart=\"" + at("server") +
                     R"(" "a" "b c" "\"d" "%%i" "$$USER" "$${X}" ";" "'e'" "f\\\\g" "\\")";
  EXPECT_EQ(directives,
            (std::vector<std::string>{"Description=%%n $HOME \\ ", "Type=notify", exec,
                                      "Restart=on-failure", "WantedBy=multi-user.target"}));
}
#endif

TEST_F(Service, ConsoleFallback) {
  const char *name = "psp_svc_console";
  std::thread::id ran{};
  auto consoleMain = [](uint32_t a, void *b) -> int32_t {
    psp_serviceStarted(); // no effect outside a service
    psp_serviceDone();
    *static_cast<std::thread::id *>(b) = std::this_thread::get_id();
    return static_cast<int32_t>(a) + 1;
  };
  EXPECT_EQ(psp_serviceStart(name, &g_stopFlag, 41, &ran, consoleMain), 42); // not installed
  EXPECT_EQ(ran, std::this_thread::get_id());
  setCount(name, 1); // installed, not started by the manager (Windows: the dispatcher's 1063)
  EXPECT_EQ(psp_serviceStart(name, &g_stopFlag, 6, &ran, consoleMain), 7);
  setCount(name, 0);
#ifndef _WIN32
  setenv("NOTIFY_SOCKET", "/nowhere", 1); // started by a manager, not installed
  EXPECT_EQ(psp_serviceStart(name, nullptr, 1, &ran, consoleMain), 2);
#endif
  EXPECT_EQ(psp_serviceStart(name, nullptr, 1, &ran, nullptr), PSP_ERR_SYSTEM);
  EXPECT_EQ(g_stopFlag, 0);
  psp_errPrint("psp_errPrint line");
}

// POSIX only: on Windows InstallThenUninstall runs the service through the real manager's life
// cycle. The child plays the manager with a bound datagram socket; the service runs in a
// grandchild, on its own thread, ready at once and done when the child's signal asks it to stop.
#ifndef _WIN32
TEST_F(Service, LifeCycleUnderTheManager) {
  put(kStore, "life=1\n");
  const std::string socketPath = at("notify");
  auto serviceMain = [](uint32_t a, void *caller) -> int32_t {
    if (a != 5 || *static_cast<std::thread::id *>(caller) == std::this_thread::get_id())
      return 1;
    psp_serviceStarted();
    for (int i = 0; i < 20000 && __atomic_load_n(&g_stopFlag, __ATOMIC_RELAXED) == 0; ++i)
      psp_sleep(1);
    psp_serviceDone();
    return 99;
  };
  for (int sig : {SIGTERM, SIGINT}) {
    auto r = psp_test::runInChild(60, [&] {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      sockaddr_un address{AF_UNIX, {}};
      std::strcpy(address.sun_path, socketPath.c_str());
      unlink(socketPath.c_str());
      timeval wait{20, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return false;
      setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
      pid_t service = fork();
      if (service == 0) {
        signal(SIGINT, SIG_IGN);
        std::thread::id self = std::this_thread::get_id();
        int32_t rc = psp_serviceStart("life", &g_stopFlag, 5, &self, serviceMain);
        // The dispositions as they were.
        bool kept = signal(SIGINT, SIG_DFL) == SIG_IGN && signal(SIGTERM, SIG_DFL) == SIG_DFL;
        _exit(rc == 0 && g_stopFlag == 1 && kept ? 0 : 3);
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
