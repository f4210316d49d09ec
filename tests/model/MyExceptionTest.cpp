#include "common/TempFolder.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <ios>
#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace app {
struct TWidgetFault : std::logic_error {
    using std::logic_error::logic_error;
};
}  // namespace app

namespace bfs {
namespace {

// Points the program folder at a fresh temporary folder for the test.
class MyExceptionTest : public ::testing::Test {
  protected:
    std::vector<std::string> LogLines() {
        std::string text;
        EXPECT_EQ(ReadWholeFile(TMyException::LogFileName(), text), 0);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "last line lacks CR LF";
            if (end == std::string::npos) break;
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    test::TTempFolder m_Temp{"bfs-errlog"};
    const std::string m_Root = m_Temp.Path;
    test::TScopedEnv m_Config{"XDG_CONFIG_HOME", m_Root};
};

TEST_F(MyExceptionTest, FirstLineCreatesTheLogLaterLinesAppend) {
    std::string file = TMyException::LogFileName();
    EXPECT_EQ(file, m_Root + "/bramlow-file-sync/ErrorInfo.txt");
    EXPECT_FALSE(FileExists(file));

    LogError("Load task list", EConvertError("'x' is not a valid integer value"));
    ASSERT_TRUE(FileExists(file));
    TMyException::Instance().HandleException(std::runtime_error("boom"));
    TMyException::Instance().LogError("two\nlines", "EInOutError", "disk\r\nfull");

    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    std::regex shape(R"(\[Error\]:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d msg:(.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
    EXPECT_EQ(m[1], "Load task list EConvertError:'x' is not a valid integer value");
    ASSERT_TRUE(std::regex_match(lines[1], m, shape)) << lines[1];
    EXPECT_EQ(m[1], "unknown runtime_error:boom");
    ASSERT_TRUE(std::regex_match(lines[2], m, shape)) << lines[2];
    EXPECT_EQ(m[1], "two lines EInOutError:disk  full");  // one failure stays one line
}

TEST_F(MyExceptionTest, ClassNames) {
    struct TCase {
        std::exception_ptr E;
        const char* Name;
    };
    const TCase cases[] = {
        {std::make_exception_ptr(EInOutError("x")), "EInOutError"},
        {std::make_exception_ptr(Exception("x")), "Exception"},
        {std::make_exception_ptr(std::out_of_range("x")), "out_of_range"},
        {std::make_exception_ptr(std::bad_alloc()), "bad_alloc"},
        {std::make_exception_ptr(app::TWidgetFault("x")), "TWidgetFault"},
        {std::make_exception_ptr(std::ios_base::failure("x")), "failure"},
    };
    for (const auto& c : cases) {
        try {
            std::rethrow_exception(c.E);
        } catch (const std::exception& e) {
            EXPECT_EQ(TMyException::ExceptionClassName(e), c.Name);
        }
    }
}

TEST_F(MyExceptionTest, UnwritableLogDropsTheLineWithoutThrowing) {
    // A folder where the log file should be: works even for root, unlike a read-only folder.
    std::filesystem::create_directories(TMyException::LogFileName());
    LogError("ctx", std::runtime_error("lost"));
    EXPECT_TRUE(std::filesystem::is_directory(TMyException::LogFileName()));
}

TEST_F(MyExceptionTest, ManyThreadsLoseAndMixNoLine) {
    constexpr int THREADS = 8;
    constexpr int LINES = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < LINES; ++i)
                LogError("worker " + std::to_string(t), EInOutError("line " + std::to_string(i)));
        });
    for (auto& w : workers) w.join();

    auto lines = LogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
    std::regex shape(R"(\[Error\]:\S+ \S+ msg:worker (\d) EInOutError:line (\d+))");
    std::set<std::pair<int, int>> seen;
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        seen.emplace(std::stoi(m[1]), std::stoi(m[2]));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * LINES));
}

}  // namespace
}  // namespace bfs
