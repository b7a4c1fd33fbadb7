// Running as a service (console fallback, the readiness protocol against a
// real datagram socket) and installing and removing one with a temporary
// unit directory, store root and a recording stand-in for systemctl.
#include "psp.h"

#include "../watchdog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void spill(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

// The stand-in records its arguments and fails the verbs listed in $FAIL.
const char kStandIn[] = "#!/bin/sh\n"
                        "echo \"$*\" >> \"$PSP_TEST_LOG\"\n"
                        "case \" $FAIL \" in *\" $1 \"*) exit 1;; esac\n"
                        "exit 0\n";

class Service : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/psp_svc_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(mkdir((root_ + "/units").c_str(), 0755), 0);
    spill(root_ + "/systemctl", kStandIn, 0755);
    spill(root_ + "/server", "#!/bin/sh\n", 0755);
    setenv("PSP_SYSTEMD_UNIT_DIR", (root_ + "/units").c_str(), 1);
    setenv("PSP_REGISTRY_ROOT", (root_ + "/registry").c_str(), 1);
    setenv("PSP_SYSTEMCTL", (root_ + "/systemctl").c_str(), 1);
    setenv("PSP_TEST_LOG", (root_ + "/log").c_str(), 1);
    unsetenv("FAIL");
    unsetenv("NOTIFY_SOCKET");
    ASSERT_EQ(psp_init(), PSP_OKAY);
  }
  void TearDown() override {
    psp_term();
    std::string command = "rm -rf '" + root_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::string store() const {
    return root_ + "/registry/SOFTWARE/Zebrine/Zebrine Store/14.1/Services";
  }
  std::string unit(const std::string &name) const { return root_ + "/units/" + name + ".service"; }
  std::string log() const { return slurp(root_ + "/log"); }
  void setStore(const std::string &text) const {
    std::string command = "mkdir -p '" + store().substr(0, store().rfind('/')) + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    spill(store(), text);
  }
  bool unitDirEmpty() const {
    std::string command = "test -z \"$(ls -A '" + root_ + "/units')\"";
    return std::system(command.c_str()) == 0;
  }
  PSP_STATUS install(const char *name, const char *display = "Demo", const char *args = "-v",
                     const char *account = nullptr, const char *path = nullptr) {
    std::string server = root_ + "/server";
    return psp_serviceInstall(name, name, display, "A demo.", path ? path : server.c_str(), args,
                              account, "hunter2-secret");
  }
  std::string root_;
};

} // namespace

TEST_F(Service, InstallThenUninstall) {
  setStore("other=7\n");
  ASSERT_EQ(install("demo"), PSP_OKAY);
  std::string text = slurp(unit("demo"));
  for (const char *line : {"\n# A demo.\n", "\nDescription=Demo\n", "\nType=notify\n",
                           "\nWantedBy=multi-user.target\n", "\nRestart=on-failure\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_NE(text.find("\nExecStart=\"" + root_ + "/server\" \"-v\"\n"), std::string::npos);
  EXPECT_EQ(text.find("User="), std::string::npos);
  EXPECT_EQ(log(), "daemon-reload\nenable demo.service\nstart demo.service\n");
  EXPECT_EQ(slurp(store()), "other=7\ndemo=1\n");

  EXPECT_EQ(install("demo"), PSP_EXISTS);
  EXPECT_EQ(slurp(store()), "other=7\ndemo=1\n");

  ASSERT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(log(), "daemon-reload\nenable demo.service\nstart demo.service\n"
                   "stop demo.service\ndisable demo.service\ndaemon-reload\n");
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_EQ(slurp(store()), "other=7\ndemo=0\n");
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_ERR_OPENFIRST);
  // A unit put there by hand: its removal does not take the count below 0.
  spill(unit("demo"), "[Unit]\n");
  EXPECT_EQ(psp_serviceUninstall("demo", "demo"), PSP_OKAY);
  EXPECT_EQ(slurp(store()), "other=7\ndemo=0\n");
  // The password goes nowhere.
  std::string grep = "grep -rq hunter2 '" + root_ + "'";
  EXPECT_NE(std::system(grep.c_str()), 0);
}

TEST_F(Service, RollBackAtEachFailingStep) {
  spill(root_ + "/plain", "#!/bin/sh\n", 0644); // no one may execute it
  struct Case {
    const char *fail;
    bool executable;
    PSP_STATUS status;
    const char *log;
  } cases[] = {
      {"daemon-reload", true, PSP_ERR_SYSTEM, "daemon-reload\n"},
      {"enable", true, PSP_ERR_SYSTEM,
       "daemon-reload\nenable x.service\ndisable x.service\ndaemon-reload\n"},
      {"start", true, PSP_ERR_SYSTEM,
       "daemon-reload\nenable x.service\nstart x.service\ndisable x.service\ndaemon-reload\n"},
      {"start", false, PSP_ERR_LOGON,
       "daemon-reload\nenable x.service\nstart x.service\ndisable x.service\ndaemon-reload\n"},
  };
  for (const Case &c : cases) {
    setStore("x=2\n");
    unlink((root_ + "/log").c_str());
    setenv("FAIL", c.fail, 1);
    std::string plain = root_ + "/plain";
    EXPECT_EQ(install("x", "X", "", nullptr, c.executable ? nullptr : plain.c_str()), c.status)
        << c.fail;
    EXPECT_EQ(log(), c.log) << c.fail;
    EXPECT_TRUE(unitDirEmpty()) << c.fail;
    EXPECT_EQ(slurp(store()), "x=2\n") << c.fail;
  }
}

TEST_F(Service, AccountsAndManagerAccess) {
  EXPECT_EQ(install("a", "A", "", "no-such-user-psp"), PSP_ERR_ACCOUNT);
  EXPECT_EQ(install("a", "A", "", "root\nExecStartPre=/bin/false"), PSP_ERR_ACCOUNT);
  EXPECT_TRUE(unitDirEmpty());
  const passwd *me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  ASSERT_EQ(install("a", "A", "", me->pw_name), PSP_OKAY);
  EXPECT_NE(slurp(unit("a")).find(std::string("\nUser=") + me->pw_name + "\n"), std::string::npos);

  setenv("PSP_SYSTEMCTL", (root_ + "/no-such-program").c_str(), 1);
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_serviceUninstall("a", "a"), PSP_ERR_SYSTEM);
  setenv("PSP_SYSTEMCTL", (root_ + "/systemctl").c_str(), 1);
  setenv("PSP_SYSTEMD_UNIT_DIR", (root_ + "/server").c_str(), 1); // not a directory
  EXPECT_EQ(install("b"), PSP_ERR_SYSTEM);
  if (geteuid() != 0) { // the superuser may write anywhere
    chmod((root_ + "/units").c_str(), 0555);
    setenv("PSP_SYSTEMD_UNIT_DIR", (root_ + "/units").c_str(), 1);
    EXPECT_EQ(install("b"), PSP_ERR_ACCESS);
    chmod((root_ + "/units").c_str(), 0755);
  }
  EXPECT_EQ(log(), "daemon-reload\nenable a.service\nstart a.service\n");
}

TEST_F(Service, BadInputIsRefusedBeforeAnythingIsWritten) {
  const std::string tooLong(248, 'a');
  const char *names[] = {nullptr, "",   "a/b",  "..",  "a..b",     "a\nb", "a=b",          "a\x01z",
                         "a b",   ".x", "-opt", "a@b", "\xC3\xA9", "a\\b", tooLong.c_str()};
  std::string server = root_ + "/server";
  for (const char *bad : names) {
    std::string shown = bad ? bad : "(null)";
    EXPECT_EQ(psp_serviceInstall(bad, "good", "D", nullptr, server.c_str(), "", nullptr, nullptr),
              PSP_ERR_SYSTEM)
        << shown;
    EXPECT_EQ(psp_serviceInstall("good", bad, "D", nullptr, server.c_str(), "", nullptr, nullptr),
              PSP_ERR_SYSTEM)
        << shown;
    EXPECT_EQ(psp_serviceUninstall(bad, "good"), PSP_ERR_SYSTEM) << shown;
    EXPECT_EQ(psp_serviceUninstall("good", bad), PSP_ERR_SYSTEM) << shown;
  }
  struct Text {
    const char *display, *path, *args;
  } texts[] = {{"x\nExecStartPre=/bin/sh", nullptr, ""},
               {"D", "relative/server", ""},
               {"D", nullptr, "a\nExecStartPre=/bin/sh"},
               {"D", nullptr, "a\rb"},
               {"D", "/bin/x\ny", ""},
               {"x\x7f", nullptr, ""}};
  for (const Text &t : texts)
    EXPECT_EQ(psp_serviceInstall("good", "good", t.display, nullptr,
                                 t.path ? t.path : server.c_str(), t.args, nullptr, nullptr),
              PSP_ERR_SYSTEM);
  EXPECT_TRUE(unitDirEmpty());
  EXPECT_EQ(access((root_ + "/log").c_str(), F_OK), -1);
  EXPECT_EQ(access((root_ + "/registry").c_str(), F_OK), -1);
  EXPECT_EQ(install(std::string(247, 'a').c_str()), PSP_OKAY); // the longest name that fits
}

TEST_F(Service, CallerTextCannotAddDirectives) {
  ASSERT_EQ(psp_serviceInstall("h", "h", "%n $HOME \\",
                               "one\nExecStartPre=/bin/false\\\r\nthree\x01\\",
                               (root_ + "/server").c_str(),
                               "a \"b c\" \\\"d %i $USER ${X} ; 'e' f\\\\g \\", nullptr, nullptr),
            PSP_OKAY);
  std::istringstream lines(slurp(unit("h")));
  std::vector<std::string> directives;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.empty() || line.back() != '\\') << line; // no continuation
    if (!line.empty() && line[0] != '#' && line[0] != '[')
      directives.push_back(line);
  }
  std::string exec = "ExecStart=\"" + root_ +
                     "/server\" \"a\" \"b c\" \"\\\"d\" \"%%i\" \"$$USER\"" +
                     " \"$${X}\" \";\" \"'e'\" \"f\\\\\\\\g\" \"\\\\\"";
  std::vector<std::string> want = {"Description=%%n $HOME \\ ", "Type=notify", exec,
                                   "Restart=on-failure", "WantedBy=multi-user.target"};
  EXPECT_EQ(directives, want);
}

TEST_F(Service, ConsoleFallback) {
  struct Run {
    static int32_t main(uint32_t a, void *b) {
      psp_serviceStarted(); // no effect outside a service
      psp_serviceDone();
      *static_cast<pthread_t *>(b) = pthread_self();
      return static_cast<int32_t>(a) + 1;
    }
  };
  uint16_t flag = 0;
  pthread_t ran{};
  EXPECT_EQ(psp_serviceStart("demo", &flag, 41, &ran, Run::main), 42); // not installed
  EXPECT_TRUE(pthread_equal(ran, pthread_self()));
  setStore("demo=1\n"); // installed, but not started by the manager
  EXPECT_EQ(psp_serviceStart("demo", &flag, 6, &ran, Run::main), 7);
  setStore("demo=0\n");
  setenv("NOTIFY_SOCKET", "/nowhere", 1); // started by a manager, not installed
  EXPECT_EQ(psp_serviceStart("demo", nullptr, 1, &ran, Run::main), 2);
  EXPECT_EQ(psp_serviceStart("demo", nullptr, 1, &ran, nullptr), PSP_ERR_SYSTEM);
  EXPECT_EQ(flag, 0);
  psp_errPrint("psp_errPrint line");
}

namespace {

uint16_t g_stopFlag;

// The service's main: on its own thread, ready at once, done when asked to stop.
int32_t lifeMain(uint32_t a, void *caller) {
  if (a != 5 || pthread_equal(*static_cast<pthread_t *>(caller), pthread_self()))
    return 1;
  psp_serviceStarted();
  for (int i = 0; i < 20000 && __atomic_load_n(&g_stopFlag, __ATOMIC_RELAXED) == 0; ++i)
    psp_sleep(1);
  psp_serviceDone();
  return 99;
}

} // namespace

// The manager's side: a bound datagram socket. The service runs in a
// grandchild so that the child can signal it and read its reports.
TEST_F(Service, LifeCycleUnderTheManager) {
  setStore("life=1\n");
  for (int sig : {SIGTERM, SIGINT}) {
    std::string socketPath = root_ + "/notify";
    auto r = psp_test::runInChild(60, [&] {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, socketPath.c_str());
      unlink(socketPath.c_str());
      if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return false;
      timeval wait{20, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
      pid_t service = fork();
      if (service == 0) {
        struct sigaction ignore {
        }, after{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, nullptr);
        pthread_t self = pthread_self();
        int32_t rc = psp_serviceStart("life", &g_stopFlag, 5, &self, lifeMain);
        sigaction(SIGINT, nullptr, &after);
        bool restored = after.sa_handler == SIG_IGN;
        sigaction(SIGTERM, nullptr, &after);
        restored = restored && after.sa_handler == SIG_DFL;
        _exit(rc == 0 && g_stopFlag == 1 && restored ? 0 : 3);
      }
      char message[64] = {};
      bool ready =
          recv(fd, message, sizeof message - 1, 0) > 0 && std::strcmp(message, "READY=1") == 0;
      kill(service, sig);
      std::memset(message, 0, sizeof message);
      bool stopping =
          recv(fd, message, sizeof message - 1, 0) > 0 && std::strcmp(message, "STOPPING=1") == 0;
      int status = 0;
      waitpid(service, &status, 0);
      EXPECT_TRUE(ready);
      EXPECT_TRUE(stopping);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      return ready && stopping;
    });
    EXPECT_TRUE(r.ok()) << sig << ": " << psp_test::describe(r);
  }
}
