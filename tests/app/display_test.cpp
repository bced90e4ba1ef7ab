// Console display and the display interface: message routing, muting, and the
// exact bytes of the progress bar and spinner on a terminal (and their
// absence when standard output is not one).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/StdoutCapture.h"
#include "app/CLI_Display.h"
#include "support/RecordingDisplay.h"

using tstest::StdoutCapture;

namespace {

using tstest::RecordingDisplay;

std::string bar(int filled, int blanks) { return std::string(filled, '=') + ">" + std::string(blanks, ' '); }

// 70 characters: wider than the bar itself.
const char* const LONG_LABEL = "0123456789012345678901234567890123456789012345678901234567890123456789";

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

}  // namespace

TEST(DisplayInterface, RoutesLevelsAndFormats) {
  RecordingDisplay d;
  d.message(UpdaterDisplayInterface::Info, "build %u of %s", 7u, "x");
  d.message(UpdaterDisplayInterface::Error, "failed [%08X]", 0x40F5849Au);
  EXPECT_EQ(d.infos, std::vector<std::string>{"build 7 of x"});
  EXPECT_EQ(d.errors, std::vector<std::string>{"failed [40F5849A]"});
}

TEST(DisplayInterface, MutedPrintsNothingAtEitherLevel) {
  RecordingDisplay d;
  d.mute_messages(true);
  d.message(UpdaterDisplayInterface::Info, "a");
  d.message(UpdaterDisplayInterface::Error, "b");
  EXPECT_TRUE(d.infos.empty());
  EXPECT_TRUE(d.errors.empty());
  d.mute_messages(false);
  d.message(UpdaterDisplayInterface::Error, "c");
  EXPECT_EQ(d.errors, std::vector<std::string>{"c"});
}

TEST(DisplayInterface, LongMessageIsCutTo2047Characters) {
  RecordingDisplay d;
  std::string longText(5000, 'x');
  d.message(UpdaterDisplayInterface::Info, "%s", longText.c_str());
  ASSERT_EQ(d.infos.size(), 1u);
  EXPECT_EQ(d.infos[0], std::string(2047, 'x'));
}

TEST(CLIDisplay, InfoGoesToStdoutWithOneLineEnd) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Pipe);
  testing::internal::CaptureStderr();
  display.message(UpdaterDisplayInterface::Info, "hello %d", 5);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.collect(), "hello 5\n");
  EXPECT_EQ(err, "");
}

TEST(CLIDisplay, ErrorGoesToStderrWithOneLineEnd) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Pipe);
  testing::internal::CaptureStderr();
  display.message(UpdaterDisplayInterface::Error, "bad %s", "thing");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.collect(), "");
  EXPECT_EQ(err, "bad thing\n");
}

TEST(CLIDisplay, MutedConsolePrintsNothingOnEitherStream) {
  CLI_Display display;
  EXPECT_FALSE(display.muted);
  display.mute_messages(true);
  EXPECT_TRUE(display.muted);
  StdoutCapture out(StdoutCapture::Kind::Pipe);
  testing::internal::CaptureStderr();
  display.message(UpdaterDisplayInterface::Info, "quiet %d", 1);
  display.message(UpdaterDisplayInterface::Error, "quiet %d", 2);
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::Info, "heard");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.collect(), "heard\n");
  EXPECT_EQ(err, "");
}

struct ProgressCase {
  const char* name;
  double fraction;
  const char* label;
  std::string expected;
};

class ProgressOnTerminal : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressOnTerminal, ExactBytes) {
  const ProgressCase& c = GetParam();
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Terminal);
  display.update_progress(c.fraction, c.label);
  EXPECT_EQ(out.collect(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CLIDisplay, ProgressOnTerminal,
    testing::Values(
        ProgressCase{"Zero", 0.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
        ProgressCase{"Half", 0.5, nullptr, "\r[" + bar(34, 34) + "] ( 50% ) "},
        // At the end the pad field is -1 wide, which printf shows as one blank.
        ProgressCase{"Full", 1.0, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
        ProgressCase{"Quarter", 0.25, nullptr, "\r[" + bar(17, 51) + "] ( 25% ) "},
        // A five-character label leaves a bar 60 wide.
        ProgressCase{"LabelHalf", 0.5, "Flash", "\r (Flash) [" + bar(30, 29) + "] ( 50% ) "},
        ProgressCase{"LabelFull", 1.0, "Flash", "\r (Flash) [" + bar(60, 1) + "] (100% ) "},
        // Out-of-range fractions are shown as the nearest end, never past the bar.
        ProgressCase{"Above", 3.5, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
        ProgressCase{"Below", -2.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
        // A label that leaves no room gets an empty bar, not one overrunning the line.
        ProgressCase{"LabelFillsLine", 0.5, LONG_LABEL, "\r (" + std::string(LONG_LABEL) + ") [> ] ( 50% ) "}),
    [](const testing::TestParamInfo<ProgressCase>& info) { return std::string(info.param.name); });

TEST(CLIDisplay, DisplayProgressOffBlanksTheLineAndOnPrintsNothing) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Terminal);
  display.display_progress(true);
  EXPECT_EQ(out.collect(), "");
  display.display_progress(false);
  EXPECT_EQ(out.collect(), CLEAR);
}

TEST(CLIDisplay, ProgressProtocolRedrawsOneLine) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Terminal);
  display.display_progress(true);
  display.update_progress(0.0, nullptr);
  display.update_progress(1.0, nullptr);
  display.display_progress(false);
  EXPECT_EQ(out.collect(), "\r[" + bar(0, 68) + "] (  0% ) " + "\r[" + bar(69, 1) + "] (100% ) " + CLEAR);
}

TEST(CLIDisplay, SpinnerCyclesThroughItsFramesAndOffClearsWithoutAdvancing) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Terminal);
  const std::vector<std::string> frames = {".", "..", "...", "....", ".....", "....", "...", ".."};
  // Nine calls show eight frames and then the first again. The frame counter
  // belongs to the whole process (it starts at 0 when this test runs alone),
  // so accept the one rotation of the frames the nine calls must form.
  std::vector<std::string> shown;
  for (int k = 0; k < 9; ++k) {
    display.update_spinner(true, nullptr);
    shown.push_back(out.collect());
  }
  size_t start = frames.size();
  for (size_t s = 0; s < frames.size() && start == frames.size(); ++s) {
    bool all = true;
    for (size_t k = 0; k < shown.size(); ++k)
      all = all && shown[k] == "\r " + frames[(s + k) % 8] + "      \r";
    if (all) start = s;
  }
  ASSERT_LT(start, frames.size()) << "spinner frames out of order, first: " << shown[0];
  EXPECT_EQ(shown[0], shown[8]);

  display.update_spinner(false, nullptr);
  EXPECT_EQ(out.collect(), CLEAR);
  display.update_spinner(true, "Downloading");
  EXPECT_EQ(out.collect(), "\r (Downloading) " + frames[(start + 9) % 8] + "      \r");
}

TEST(CLIDisplay, NothingOfProgressOrSpinnerWhenStdoutIsNotATerminal) {
  CLI_Display display;
  StdoutCapture out(StdoutCapture::Kind::Pipe);
  display.display_progress(true);
  display.update_progress(0.5, nullptr);
  display.update_progress(1.0, "label");
  display.display_progress(false);
  display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  display.message(UpdaterDisplayInterface::Info, "still written");
  EXPECT_EQ(out.collect(), "still written\n");
}
