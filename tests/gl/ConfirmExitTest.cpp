#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/Player.h"
#include "app/ViewerUI.h"
#include "store/Dialogs.h"
#include "store/MeshStore.h"
#include "tests/gl/UIFixture.h"

namespace {
// Presses the button with the given label in whichever other window is open: the question box.
struct Answer {
  const char* label;
  Fl_Window* main;
  bool pressed = false;
  bool sawQuestion = false;
};

void PressButton(void* data) {
  Answer* answer = static_cast<Answer*>(data);
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
    if (w == answer->main) continue;
    for (int i = 0; i < w->children(); ++i) {
      Fl_Widget* child = w->child(i);
      const char* label = child->label();
      if (label && std::strstr(label, "Do you really want to exit vexol?")) answer->sawQuestion = true;
      if (label && std::strcmp(label, answer->label) == 0 && dynamic_cast<Fl_Button*>(child)) {
        answer->pressed = true;
        child->do_callback();
        return;
      }
    }
  }
  Fl::repeat_timeout(0.05, PressButton, data);
}

class ConfirmExitTest : public UITest {
 protected:
  void SetUp() override {
    Dialogs::UseToolkit();
    ShowUI();
    Fl::wait(0.1);
  }
  void TearDown() override {
    Fl::remove_timeout(PressButton);
    CloseUI();
    Fl::check();
  }

  // Returns only if the question box did not end the process.
  bool AnswerExit(const char* label) {
    Answer answer{label, ui->window};
    Fl::add_timeout(0.3, PressButton, &answer);
    PickExit();
    return answer.sawQuestion && answer.pressed;
  }

  void PickExit() {
    Fl_Menu_Bar* bar = static_cast<Fl_Menu_Bar*>(ui->window->child(1));
    bar->picked(bar->find_item("File/Exit"));
  }
};

TEST_F(ConfirmExitTest, NoInTheRealQuestionBoxKeepsTheWindow) {
  EXPECT_TRUE(AnswerExit("No"));
  EXPECT_TRUE(ui->window->shown());
}

TEST_F(ConfirmExitTest, YesInTheRealQuestionBoxExitsWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        AnswerExit("Yes");
        std::exit(3);
      },
      testing::ExitedWithCode(0), "");
}
}  // namespace
