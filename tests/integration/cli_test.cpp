// Runs the real quillora-cli binary against temporary application folders.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "media/file_utils.h"
#include "platform/instance_lock.h"
#include "unit/test_support.h"

namespace {

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1); }

  pid_t start(const std::vector<std::string>& args, const std::string& input = "") {
    dir.write("stdin.txt", input);
    pid_t pid = fork();
    if (pid == 0) {
      int in = open(dir.file("stdin.txt").c_str(), O_RDONLY);
      int out = open(dir.file("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(dir.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0), dup2(out, 1), dup2(err, 2);
      std::vector<std::string> all{QUILLORA_BUILD_DIR "/quillora-cli"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  CliRun finish(pid_t pid) {
    CliRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = dir.read("stdout.txt");
    run.err = dir.read("stderr.txt");
    return run;
  }

  CliRun run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--folder", dir.path()});
    return finish(start(args, input));
  }

  TempAppFolder dir;
};

const std::string kSave =
    R"({"T":"playlist","C":"save","V":1,"P":{"name":"a.json","playlist":[)"
    R"({"url":"m1.mp4","type":1,"title":"Ünïcødé 映像.mp4","id":12,"duration":30},)"
    R"({"url":"m2.png","type":1,"title":"b.png","id":13,"duration":10}]}})";

TEST_F(Cli, SaveAndOpenPrintOneLineEach) {
  CliRun r = run({kSave, R"({"T":"playlist","C":"open","V":1,"P":"a.json"})"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string stored =
      R"({"playlist":[{"duration":30,"id":12,"title":"Ünïcødé 映像.mp4","type":1,"url":"m1.mp4"},)"
      R"({"duration":10,"id":13,"title":"b.png","type":1,"url":"m2.png"}]})";
  EXPECT_EQ(r.out, R"({"C":"save","P":{"name":"a.json","status":"OK"},"T":"playlist","V":1})"
                   "\n"
                   R"({"C":"open","P":)" +
                       stored + R"(,"T":"playlist","V":1})" + "\n");
  EXPECT_EQ(dir.read("web/conf/a.json"), stored);
}

TEST_F(Cli, ReadsRequestsFromStdin) {
  CliRun r = run({"-"}, kSave + "\r\n\n" + R"({"C":"get","T":"playlistFiles4Open","V":2,"P":""})" +
                            "\n" + R"({"C":"set","T":"screen","V":1,"P":{"cmd":"1"}})" + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, R"({"C":"save","P":{"name":"a.json","status":"OK"},"T":"playlist","V":1})"
                   "\n"
                   R"({"C":"get","P":["a.json"],"T":"playlistFiles4Open","V":2})"
                   "\n");
}

TEST_F(Cli, ExitCodesAndMessages) {
  CliRun usage = run({"--wait"});
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_NE(usage.err.find("usage: quillora-cli"), std::string::npos);
  EXPECT_EQ(usage.out, "");

  dir.write("config.yaml", "notification: {port: 80\n");
  CliRun broken = run({kSave});
  EXPECT_EQ(broken.exitCode, 3);
  EXPECT_NE(broken.err.find("config.yaml: not valid YAML"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.out, "");
  EXPECT_FALSE(dir.exists("web/conf/a.json"));

  dir.write("config.yaml", "notification: {port: 80}\nsearch: {port: x}\nlanguage: en\n");
  CliRun badPort = run({});
  EXPECT_EQ(badPort.exitCode, 3);
  EXPECT_NE(badPort.err.find("\"search: port\" must be an integer"), std::string::npos);
}

TEST_F(Cli, SecondInstanceExitsWithTwo) {
  pid_t first = start({"--folder", dir.path(), "--wait", "30"});
  // Wait until the first instance holds the lock.
  bool held = false;
  for (int i = 0; i < 200 && !held; ++i) {
    int fd = open(instanceLockPath("Quillora").c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      held = flock(fd, LOCK_EX | LOCK_NB) != 0;
      close(fd);
    }
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(held);
  pid_t second = fork();
  if (second == 0) {
    int err = open(dir.file("second.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    execl(QUILLORA_BUILD_DIR "/quillora-cli", "quillora-cli", "--folder", dir.path().c_str(),
          nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(second, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(
      dir.read("second.txt").find("An other instance of this application is already running!"),
      std::string::npos);
  kill(first, SIGTERM);
  CliRun r = finish(first);
  EXPECT_EQ(r.exitCode, 0) << "the first instance shuts down cleanly on SIGTERM";
}

TEST_F(Cli, ExitCleansUpButKeepsUsedMedia) {
  dir.write("web/media/m1.mp4", "one");
  dir.write("web/media/m2.png", "two");
  dir.write("web/media/orphan.mp4", "x");
  dir.write("web/firmware/update.bin", "fw");
  dir.write("web/conf/empty.json", R"({"playlist":[]})");
  CliRun r = run({kSave});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(listFiles(dir.file("web/media")), (std::vector<std::string>{"m1.mp4", "m2.png"}));
  EXPECT_TRUE(listFiles(dir.file("web/firmware")).empty());
  EXPECT_EQ(listFiles(dir.file("web/conf")), std::vector<std::string>{"a.json"});
}

TEST_F(Cli, UntilEndsTheWaitEarly) {
  auto begin = std::chrono::steady_clock::now();
  CliRun r = run({"--wait", "20", "--until", "status\":\"OK", kSave});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

}  // namespace
