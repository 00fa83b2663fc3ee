// Runs the real quillora-cli binary against temporary application folders.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "media/file_reading.h"
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

  // `terminate`: SIGTERM once the first reply is out, or after 5 s.
  CliRun run(std::vector<std::string> args, const std::string& input = "", bool terminate = false) {
    dir.write("stdin.txt", input);
    args.insert(args.begin(), {QUILLORA_BUILD_DIR "/quillora-cli", "--folder", dir.path()});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(open(dir.file("stdin.txt").c_str(), O_RDONLY), 0);
      for (int fd : {1, 2}) {
        const std::string name = dir.file(fd == 1 ? "stdout.txt" : "stderr.txt");
        dup2(open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), fd);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; terminate && i < 200 && dir.read("stdout.txt").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (terminate) kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            dir.read("stdout.txt"), dir.read("stderr.txt")};
  }

  TempAppFolder dir;
};

const std::string kSave =
    R"({"T":"playlist","C":"save","V":1,"P":{"name":"a.json","playlist":[)"
    R"({"url":"m1.mp4","type":1,"title":"Ünïcødé 映像.mp4","id":12,"duration":30},)"
    R"({"url":"m2.png","type":1,"title":"b.png","id":4294967294,"duration":3.5}]}})";

// Arguments, then stdin (CR LF, blank lines); one line per reply; the --until text ends the
// wait at once; the clean-up at exit keeps what the saved playlist names.
TEST_F(Cli, PrintsOneLinePerReplyAndCleansUpAtExit) {
  dir.write({"web/media/m1.mp4", "m", "web/media/m2.png", "m", "web/media/orphan.mp4", "m"});
  auto begin = std::chrono::steady_clock::now();
  CliRun r = run({"--wait", "20", "--until", "status\":\"OK", kSave, "-"},
                 "\r\n"
                 R"({"C":"get","T":"playlistFiles4Open","V":2,"P":""})"
                 "\r\n\n"
                 R"({"C":"set","T":"screen","V":1,"P":{"cmd":"1"}})"
                 "\n"
                 R"({"T":"playlist","C":"open","V":1,"P":"a.json"})"
                 "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string stored =
      R"({"playlist":[{"duration":30,"id":12,"title":"Ünïcødé 映像.mp4","type":1,"url":"m1.mp4"},)"
      R"({"duration":3.5,"id":4294967294,"title":"b.png","type":1,"url":"m2.png"}]})";
  EXPECT_EQ(r.out, R"({"C":"save","P":{"name":"a.json","status":"OK"},"T":"playlist","V":1})"
                   "\n"
                   R"({"C":"get","P":["a.json"],"T":"playlistFiles4Open","V":2})"
                   "\n"
                   R"({"C":"open","P":)" +
                       stored + R"(,"T":"playlist","V":1})" + "\n");
  EXPECT_EQ(dir.read("web/conf/a.json"), stored);
  EXPECT_EQ(listFiles(dir.file("web/media")), (std::vector<std::string>{"m1.mp4", "m2.png"}));
}

TEST_F(Cli, ExitCodesAndMessages) {
  CliRun usage = run({"--wait"});
  dir.write("config.yaml", "notification: {port: 80\n");
  CliRun broken = run({kSave});
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_NE(usage.err.find("usage: quillora-cli"), std::string::npos) << usage.err;
  EXPECT_EQ(broken.exitCode, 3);
  EXPECT_NE(broken.err.find("config.yaml: not valid YAML"), std::string::npos) << broken.err;
  EXPECT_EQ(usage.out + broken.out, "");
  EXPECT_FALSE(dir.exists("web/conf/a.json"));
}

TEST_F(Cli, StopsCleanlyOnSigterm) {
  dir.write("web/media/orphan.mp4", "x");
  CliRun r =
      run({"--wait", "30", R"({"C":"get","T":"playlistFiles4Open","V":2,"P":""})"}, "", true);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(dir.exists("web/media/orphan.mp4")) << "the clean-up at exit ran";
}

}  // namespace
