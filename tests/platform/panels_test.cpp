#include "platform/panels.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/threads.h"

namespace {

namespace pf = driveflash::platform;

pf::PanelDef popup_def() {
  pf::PanelDef def;
  def.number = 2;
  def.callback = "panelCB";
  def.controls = {{2, pf::ControlKind::TextBox, "status", "", "", std::string()},
                  {3, pf::ControlKind::Button, "ok", "OK", "okCB", 0},
                  {4, pf::ControlKind::Double, "progress", "", "", 0.0}};
  return def;
}

int g_ok_events = 0;
int g_panel_events = 0;
int ok_cb(int, int, int event, void*, int, int) {
  g_ok_events += event == EVENT_COMMIT ? 1 : 0;
  return 0;
}
int panel_cb(int, int event, void*, int, int) {
  g_panel_events += event == EVENT_CLOSE ? 1 : 0;
  return 0;
}

class PanelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::reset_panels();
    g_ok_events = g_panel_events = 0;
  }
  void TearDown() override { pf::reset_panels(); }
};

TEST_F(PanelsTest, ControlsHoldValuesAttributesAndLines) {
  const int p = pf::create_panel(popup_def());
  std::vector<pf::PanelEvent::Kind> seen;
  pf::add_observer([&](const pf::PanelEvent& e) { seen.push_back(e.kind); });
  EXPECT_EQ(InsertTextBoxLine(p, 2, -1, "one"), 0);
  EXPECT_EQ(InsertTextBoxLine(p, 2, -1, "two"), 0);
  EXPECT_EQ(InsertTextBoxLine(p, 2, 0, "zero"), 0);
  EXPECT_EQ(SetCtrlVal(p, 4, 42.5), 0);
  EXPECT_EQ(SetCtrlAttribute(p, 3, ATTR_DIMMED, 1), 0);
  EXPECT_EQ(SetCtrlAttribute(p, 4, ATTR_VISIBLE, 0), 0);
  double progress = 0;
  int as_int = 0;
  EXPECT_EQ(GetCtrlVal(p, 4, &progress), 0);
  EXPECT_EQ(GetCtrlVal(p, 4, &as_int), 0);
  EXPECT_EQ(progress, 42.5);
  EXPECT_EQ(as_int, 42);
  const auto state = pf::panel_state(p);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->controls.at(2).lines, (std::vector<std::string>{"zero", "one", "two"}));
  EXPECT_TRUE(state->controls.at(3).dimmed);
  EXPECT_FALSE(state->controls.at(4).visible);
  EXPECT_EQ(ResetTextBox(p, 2, ""), 0);
  EXPECT_TRUE(pf::panel_state(p)->controls.at(2).lines.empty());
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen.front(), pf::PanelEvent::Kind::LineAppended);
  EXPECT_EQ(seen.back(), pf::PanelEvent::Kind::TextBoxReset);
  // Unknown panels and controls are errors, not silent successes.
  EXPECT_LT(SetCtrlVal(p, 77, 1), 0);
  EXPECT_LT(InsertTextBoxLine(p + 100, 2, -1, "x"), 0);
  char text[260];
  EXPECT_LT(GetCtrlVal(p, 4, text), 0);
}

TEST_F(PanelsTest, LoadFromSourceAndBindCallbacksByName) {
  pf::register_callback("okCB", &ok_cb);
  pf::register_callback("panelCB", &panel_cb);
  pf::set_panel_source([](const std::string& file, int number) -> std::optional<pf::PanelDef> {
    if (file != "Brenfold.uir" || number != 2) {
      return std::nullopt;
    }
    return popup_def();
  });
  EXPECT_LT(LoadPanel(0, "Other.uir", 2), 0);
  EXPECT_LT(LoadPanel(0, "Brenfold.uir", 1), 0);
  const int p = LoadPanel(0, "Brenfold.uir", 2);
  ASSERT_GT(p, 0);
  EXPECT_EQ(InstallPopup(p), 0);
  EXPECT_TRUE(pf::panel_state(p)->popup);
  pf::fire_event(p, 3, EVENT_COMMIT);
  pf::fire_event(p, 0, EVENT_CLOSE);
  SetCtrlAttribute(p, 3, ATTR_DIMMED, 1);
  pf::fire_event(p, 3, EVENT_COMMIT);  // dimmed: no input
  EXPECT_EQ(g_ok_events, 1);
  EXPECT_EQ(g_panel_events, 1);
  EXPECT_EQ(RemovePopup(0), 0);
  EXPECT_FALSE(pf::panel_state(p)->popup);
  EXPECT_EQ(DiscardPanel(p), 0);
  EXPECT_FALSE(pf::panel_state(p));
}

TEST_F(PanelsTest, DialogsAnswerThroughHooks) {
  char path[260] = "unchanged";
  EXPECT_EQ(FileSelectPopup("", "*.hex", "*.hex", "t", 2, 0, 0, 1, 0, path), VAL_NO_FILE_SELECTED);
  EXPECT_STREQ(path, "unchanged");
  std::string message;
  pf::set_dialog_hooks({[&](const std::string& t, const std::string& m) { message = t + m; },
                        [](const std::string&, const std::string& file_spec,
                           const std::string&) -> std::optional<std::string> {
                          return file_spec == "*.hex"
                                     ? std::optional<std::string>("/etc/hostname")
                                     : std::optional<std::string>(std::string(300, 'x'));
                        }});
  EXPECT_EQ(MessagePopup("a", "b"), 0);
  EXPECT_EQ(message, "ab");
  EXPECT_EQ(FileSelectPopup("", "*.hex", "*.hex", "t", 2, 0, 0, 1, 0, path),
            VAL_EXISTING_FILE_SELECTED);
  EXPECT_STREQ(path, "/etc/hostname");
  // A path too long for the caller's buffer is refused, the buffer untouched.
  EXPECT_EQ(FileSelectPopup("", "*.ehex", "*.ehex", "t", 2, 0, 0, 1, 0, path),
            VAL_NO_FILE_SELECTED);
  EXPECT_STREQ(path, "/etc/hostname");
}

std::atomic<int> g_worker_runs{0};
int worker(void* data) {
  auto* flag = static_cast<std::atomic<bool>*>(data);
  while (!flag->load()) {
    std::this_thread::yield();
  }
  ++g_worker_runs;
  return 0;
}

TEST_F(PanelsTest, WaitingForTheWorkerKeepsEventsFlowing) {
  std::atomic<bool> release{false};
  int pumps = 0;
  pf::set_event_loop({nullptr, nullptr, [&] {
                        if (++pumps == 3) {
                          release = true;
                        }
                      }});
  int id = 0;
  ASSERT_EQ(CmtScheduleThreadPoolFunction(DEFAULT_THREAD_POOL_HANDLE, &worker, &release, &id), 0);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(DEFAULT_THREAD_POOL_HANDLE, id,
                                                   OPT_TP_PROCESS_EVENTS_WHILE_WAITING),
            0);
  EXPECT_GE(pumps, 3);
  EXPECT_TRUE(pf::thread_function_done(id));
  EXPECT_EQ(CmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, id), 0);
  EXPECT_EQ(CmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, id), -1);
  EXPECT_EQ(g_worker_runs.load(), 1);
}

}  // namespace
