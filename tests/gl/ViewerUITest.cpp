#include <FL/Fl.H>
#include <FL/gl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "app/Player.h"
#include "app/ViewerUI.h"
#include "geometry/Mesh.h"
#include "store/Dialogs.h"
#include "store/MeshStore.h"
#include "tests/gl/UIFixture.h"
#include "tests/unit/TestFiles.h"

namespace {
using Clock = std::chrono::steady_clock;

const int kMenuRows = 25;

// Answers of the dialog seam, and what the program asked.
struct Answers {
  int ask = 0;
  std::vector<std::string> questions;
  std::vector<std::string> fileMessages, filePatterns;
  int color = 0;
  double r = 0, g = 0, b = 0;
  std::vector<std::string> colorTitles;
};
Answers answers;

int FakeAsk(const char* question) {
  answers.questions.push_back(question);
  return answers.ask;
}
const char* FakeChooseFile(const char* message, const char* pattern, const char*, int) {
  answers.fileMessages.push_back(message);
  answers.filePatterns.push_back(pattern);
  return nullptr;
}
int FakeChooseColor(const char* title, double& r, double& g, double& b) {
  answers.colorTitles.push_back(title);
  if (answers.color) {
    r = answers.r;
    g = answers.g;
    b = answers.b;
  }
  return answers.color;
}

// The widget's class, most derived first (a check button is also a light button).
std::string KindOf(Fl_Widget* w) {
  if (dynamic_cast<MeshView*>(w)) return "view";
  if (dynamic_cast<Fl_Menu_Bar*>(w)) return "menubar";
  if (dynamic_cast<Fl_Value_Output*>(w)) return "value_output";
  if (dynamic_cast<Fl_Counter*>(w)) return "counter";
  if (dynamic_cast<Fl_Check_Button*>(w)) return "check";
  if (dynamic_cast<Fl_Light_Button*>(w)) return "light";
  if (dynamic_cast<Fl_Button*>(w)) return "button";
  if (dynamic_cast<Fl_Output*>(w)) return "output";
  if (dynamic_cast<Fl_Progress*>(w)) return "progress";
  if (w->as_group()) return "group";
  return "other";
}

struct Expected {
  const char* kind;
  int x, y, w, h;
  const char* label;
};

void ExpectWidget(Fl_Widget* w, const Expected& e) {
  SCOPED_TRACE(e.label ? e.label : e.kind);
  EXPECT_EQ(e.kind, KindOf(w));
  EXPECT_EQ(e.x, w->x());
  EXPECT_EQ(e.y, w->y());
  EXPECT_EQ(e.w, w->w());
  EXPECT_EQ(e.h, w->h());
  if (e.label)
    EXPECT_STREQ(e.label, w->label());
  else
    EXPECT_EQ(nullptr, w->label());
}

class ViewerUITest : public UITest {
 protected:
  int menuFlags[kMenuRows];

  void SetUp() override {
    for (int i = 0; i < kMenuRows; ++i) menuFlags[i] = ViewerUI::mainMenu[i].flags;
    answers = Answers();
    Dialogs::ask = FakeAsk;
    Dialogs::chooseFile = FakeChooseFile;
    Dialogs::chooseColor = FakeChooseColor;
    ShowUI();
    WaitFor([&] { return ui->view->valid() != 0; });
    ASSERT_TRUE(ui->view->valid()) << "the view never drew";
    Settle();
  }

  void TearDown() override {
    Fl::remove_timeout(OnTimer, &player);
    Dialogs::UseToolkit();
    CloseUI();
    for (int i = 0; i < kMenuRows; ++i) ViewerUI::mainMenu[i].flags = menuFlags[i];
    Fl::check();
  }

  template <class F>
  static void WaitFor(F done, double seconds = 10.0) {
    Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!done() && Clock::now() < end) Fl::wait(0.01);
  }

  // Draws what is pending, so that the view's damage afterwards means a new redraw request.
  void Settle() {
    Fl::flush();
    ui->view->clear_damage();
  }
  bool RedrawRequested() const { return ui->view->damage() != 0; }

  Fl_Group* Group(int index) { return ui->window->child(index)->as_group(); }
  Fl_Button* ButtonAt(int group, int index) { return static_cast<Fl_Button*>(Group(group)->child(index)); }
  Fl_Menu_Bar* MenuBar() { return static_cast<Fl_Menu_Bar*>(ui->window->child(1)); }

  // A press and release of the left button at a window position, through the toolkit's dispatch.
  void Click(int x, int y) {
    Fl::e_x = x;
    Fl::e_y = y;
    Fl::e_x_root = ui->window->x() + x;
    Fl::e_y_root = ui->window->y() + y;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    Fl::e_state = FL_BUTTON1;
    Fl::handle(FL_PUSH, ui->window);
    Fl::e_state = 0;
    Fl::handle(FL_RELEASE, ui->window);
  }
  void Click(Fl_Widget* w) { Click(w->x() + w->w() / 2, w->y() + w->h() / 2); }

  void Pick(const char* path) {
    const Fl_Menu_Item* item = MenuBar()->find_item(path);
    ASSERT_NE(nullptr, item) << path;
    MenuBar()->picked(item);
  }

  Mesh* AddMesh(const std::string& name, float x = 0) {
    Mesh* mesh = new Mesh;
    mesh->name = name;
    MeshVertex v{};
    v.position[0] = x;
    v.normal[2] = 1;
    mesh->vertices.push_back(v);
    mesh->bounds.Extend(x, 0, 0);
    mesh->bounds.Extend(x + 1, 1, 1);
    store->Add(mesh);
    return mesh;
  }
  void AddMeshes(int count, int current) {
    for (int i = 0; i < count; ++i) AddMesh("mesh" + std::to_string(i), float(i));
    store->current = current;
  }

  TempDir files;
  // A one-triangle mesh at x; and a sequence of count of them, f0.ply on, whose description it returns.
  std::string WriteTriangle(const std::string& name, int x) {
    const std::string a = std::to_string(x) + " ", b = std::to_string(x + 1) + " ";
    return files.Write(name,
                       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                       "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n" +
                           a + "0 0\n" + b + "0 0\n" + b + "1 0\n3 0 1 2\n");
  }
  std::string WriteMeshSequence(int count) {
    for (int i = 0; i < count; ++i) WriteTriangle("f" + std::to_string(i) + ".ply", i);
    return files.Write("s.msq",
                       WriteTriangle("t.ply", 0) + " " + files.path + "/f%d.ply 0 1 " + std::to_string(count - 1));
  }

  std::vector<bool> ButtonsActive() {
    return {ui->nextButton->active() != 0,    ui->prevButton->active() != 0, ui->playButton->active() != 0,
            ui->reverseButton->active() != 0, ui->stopButton->active() != 0, ui->deleteButton->active() != 0};
  }
};

using Active = std::vector<bool>;  // Next, Prev, Play, Reverse, Stop, Delete

TEST_F(ViewerUITest, WindowHoldsItsWidgetsInCreationOrder) {
  EXPECT_STREQ("vexol", ui->window->label());
  EXPECT_EQ(611, ui->window->w());
  EXPECT_EQ(697, ui->window->h());
  EXPECT_EQ(ui, ui->window->user_data());
  EXPECT_EQ(ui->window->child(12), ui->window->resizable());
  EXPECT_EQ(nullptr, ui->window->parent());

  const std::vector<Expected> top = {
      {"view", 130, 30, 480, 640, nullptr},        {"menubar", 0, 0, 1011, 30, nullptr},
      {"group", 0, 379, 130, 172, nullptr},        {"group", 1, 88, 129, 37, nullptr},
      {"group", 1, 31, 129, 59, nullptr},          {"group", 1, 123, 129, 87, nullptr},
      {"group", 0, 208, 130, 82, nullptr},         {"group", 0, 288, 130, 37, nullptr},
      {"group", 0, 323, 130, 57, nullptr},         {"group", 0, 549, 130, 37, nullptr},
      {"output", 130, 670, 480, 25, "Mesh Info:"}, {"progress", 130, 670, 480, 25, nullptr},
      {"other", 130, 586, 480, 84, nullptr}};
  ASSERT_EQ(int(top.size()), ui->window->children());
  for (size_t i = 0; i < top.size(); ++i) ExpectWidget(ui->window->child(int(i)), top[i]);
  EXPECT_EQ(0, ui->view->children());

  const std::vector<std::vector<Expected>> groups = {
      {{"value_output", 60, 383, 60, 25, "Frame:"},
       {"counter", 60, 441, 60, 25, "Every:"},
       {"button", 65, 413, 55, 25, "Next"},
       {"button", 10, 413, 55, 25, "Prev"},
       {"counter", 60, 466, 60, 25, "Pause:"},
       {"button", 65, 494, 55, 25, "Play"},
       {"button", 10, 494, 55, 25, "Reverse"},
       {"button", 65, 519, 55, 25, "Stop"},
       {"button", 10, 519, 55, 25, "Delete"}},
      {{"button", 10, 93, 110, 25, "Reset Viewpoint"}},
      {{"light", 10, 36, 110, 25, "Move Mesh"}, {"light", 10, 60, 110, 25, "Move Light"}},
      {{"light", 10, 130, 110, 25, "Surface"},
       {"light", 10, 154, 110, 25, "Wireframe"},
       {"light", 10, 178, 110, 25, "Points"}},
      {{"light", 10, 213, 110, 25, "Gray Shade"},
       {"light", 10, 261, 110, 25, "Confidence"},
       {"light", 10, 237, 110, 25, "True Color"}},
      {{"check", 10, 294, 110, 25, "Light"}},
      {{"light", 10, 328, 110, 25, "Gray Shade"}, {"light", 10, 352, 110, 25, "Color Unlit"}},
      {{"value_output", 45, 555, 75, 25, "FPS:"}}};
  for (size_t g = 0; g < groups.size(); ++g) {
    SCOPED_TRACE("group " + std::to_string(g + 2));
    Fl_Group* group = Group(int(g) + 2);
    EXPECT_EQ(FL_ENGRAVED_FRAME, group->box());
    ASSERT_EQ(int(groups[g].size()), group->children());
    for (size_t i = 0; i < groups[g].size(); ++i) ExpectWidget(group->child(int(i)), groups[g][i]);
  }
}

// Resizing gives all the room to the view; the control column keeps its size and place.
TEST_F(ViewerUITest, ResizingGrowsTheViewAlone) {
  ui->window->resize(ui->window->x(), ui->window->y(), 911, 1097);
  ExpectWidget(Group(2), {"group", 0, 379, 130, 172, nullptr});
  ExpectWidget(ui->view, {"view", 130, 30, 780, 1040, nullptr});
  ExpectWidget(ui->meshInfoOutput, {"output", 130, 1070, 780, 25, "Mesh Info:"});
}

TEST_F(ViewerUITest, FieldsPointIntoTheTree) {
  Fl_Group* playback = Group(2);
  EXPECT_EQ(ui->view, ui->window->child(0));
  EXPECT_EQ(ui->frameOutput, playback->child(0));
  EXPECT_EQ(ui->everyCounter, playback->child(1));
  EXPECT_EQ(ui->nextButton, playback->child(2));
  EXPECT_EQ(ui->prevButton, playback->child(3));
  EXPECT_EQ(ui->pauseCounter, playback->child(4));
  EXPECT_EQ(ui->playButton, playback->child(5));
  EXPECT_EQ(ui->reverseButton, playback->child(6));
  EXPECT_EQ(ui->stopButton, playback->child(7));
  EXPECT_EQ(ui->deleteButton, playback->child(8));
  EXPECT_EQ(ui->grayShadeButton, Group(6)->child(0));
  EXPECT_EQ(ui->trueColorButton, Group(6)->child(2));
  EXPECT_EQ(ui->lightButton, Group(7)->child(0));
  EXPECT_EQ(ui->meshInfoOutput, ui->window->child(10));
  EXPECT_EQ(store, ui->view->store);
  EXPECT_EQ(ui->view, store->view);
}

// Showing a window sets its label type to none, so the settings are read from an unshown copy.
TEST_F(ViewerUITest, ViewAndMenuBarSettings) {
  ViewerUI unshown;
  MeshView* view = unshown.view;
  EXPECT_EQ(FL_PLASTIC_DOWN_BOX, view->box());
  EXPECT_EQ(FL_BACKGROUND_COLOR, view->color());
  EXPECT_EQ(FL_BACKGROUND_COLOR, view->selection_color());
  EXPECT_EQ(FL_NORMAL_LABEL, view->labeltype());
  EXPECT_EQ(0, view->labelfont());
  EXPECT_EQ(14, view->labelsize());
  EXPECT_EQ(FL_BLACK, view->labelcolor());
  EXPECT_EQ(FL_ALIGN_CENTER, view->align());
  EXPECT_EQ(FL_WHEN_RELEASE, view->when());
  EXPECT_FALSE(unshown.window->shown());
  delete unshown.window;
  EXPECT_EQ(FL_UP_BOX, MenuBar()->down_box());
  EXPECT_EQ(ViewerUI::mainMenu, MenuBar()->menu());
}

TEST_F(ViewerUITest, PlaybackControlsStartValues) {
  EXPECT_EQ(0, ui->frameOutput->minimum());
  EXPECT_EQ(100000, ui->frameOutput->maximum());
  EXPECT_EQ(1, ui->frameOutput->step());
  EXPECT_EQ(-1, ui->frameOutput->value()) << "the view has drawn an empty store";
  EXPECT_EQ(FL_ALIGN_LEFT, ui->frameOutput->align());
  struct CounterStart {
    Fl_Counter* counter;
    double minimum, maximum, value;
  };
  for (const CounterStart& c :
       {CounterStart{ui->everyCounter, 1, 10, 1}, CounterStart{ui->pauseCounter, 0, 1000, 10}}) {
    SCOPED_TRACE(c.counter->label());
    EXPECT_EQ(FL_SIMPLE_COUNTER, c.counter->type());
    EXPECT_EQ(c.minimum, c.counter->minimum());
    EXPECT_EQ(c.maximum, c.counter->maximum());
    EXPECT_EQ(1, c.counter->step());
    EXPECT_EQ(c.value, c.counter->value());
    EXPECT_EQ(FL_ALIGN_LEFT, c.counter->align());
    EXPECT_EQ(Fl_Widget::default_callback, c.counter->callback()) << "counters are read, not heard";
  }
  Fl_Value_Output* fps = ui->fpsOutput;
  EXPECT_EQ(0, fps->minimum());
  EXPECT_EQ(1000, fps->maximum());
  EXPECT_EQ(0, fps->value());
  EXPECT_EQ(FL_NORMAL_OUTPUT, ui->meshInfoOutput->type());
  EXPECT_EQ(FL_ALIGN_LEFT, ui->meshInfoOutput->align());
  EXPECT_STREQ("", ui->meshInfoOutput->value());
  EXPECT_EQ(Active({true, true, true, true, true, true}), ButtonsActive());
}

TEST_F(ViewerUITest, ToggleButtonsStartAsTheViewDoes) {
  struct Light {
    int group, index, value;
    Fl_Color selection;
  };
  const std::vector<Light> lights = {{4, 0, 1, 1},   {4, 1, 0, 1},         {5, 0, 1, 119},       {5, 1, 0, 119},
                                     {5, 2, 0, 119}, {6, 0, 1, FL_YELLOW}, {6, 1, 0, FL_YELLOW}, {6, 2, 0, FL_YELLOW},
                                     {8, 0, 1, 231}, {8, 1, 0, 231}};
  for (const Light& l : lights) {
    Fl_Button* b = ButtonAt(l.group, l.index);
    SCOPED_TRACE(b->label());
    EXPECT_EQ(FL_RADIO_BUTTON, b->type());
    EXPECT_EQ(l.value, b->value());
    EXPECT_EQ(l.selection, b->selection_color());
  }
  Fl_Check_Button* light = ui->lightButton;
  EXPECT_EQ(FL_UP_BOX, light->box());
  EXPECT_EQ(FL_DOWN_BOX, light->down_box());
  EXPECT_EQ(1, light->value());
  EXPECT_EQ(Fl_Color(4), light->selection_color());
  EXPECT_EQ(FL_TOGGLE_BUTTON, light->type());

  EXPECT_FALSE(ui->view->moveLight);
  EXPECT_EQ(Surface, ui->view->renderMode);
  EXPECT_EQ(GrayShade, ui->view->colorMode);
  EXPECT_TRUE(ui->view->lighting);
  EXPECT_FALSE(ui->view->ortho);
}

TEST_F(ViewerUITest, MenuTableRows) {
  struct Row {
    const char* label;
    int flags;
    bool callback;
  };
  const Row rows[kMenuRows] = {{"File", FL_SUBMENU | FL_MENU_DIVIDER, false},
                               {"Open Mesh", 0, true},
                               {"Open Depthmap", FL_MENU_DIVIDER, true},
                               {"Open Mesh Sequence", 0, true},
                               {"Open Depthmap Sequence", FL_MENU_DIVIDER, true},
                               {"Delete All", FL_MENU_DIVIDER, true},
                               {"Exit", 0, true},
                               {nullptr, 0, false},
                               {"Render", FL_SUBMENU, false},
                               {"Appearance", FL_SUBMENU | FL_MENU_DIVIDER, false},
                               {"Background", FL_MENU_DIVIDER, true},
                               {"Diffuse Material", 0, true},
                               {"Specular Material", FL_MENU_DIVIDER, true},
                               {"Ambient Light", 0, true},
                               {"Diffuse Light", 0, true},
                               {"Specular Light", 0, true},
                               {nullptr, 0, false},
                               {"Othography", FL_MENU_TOGGLE | FL_MENU_DIVIDER, true},
                               {"Flip Normal", 0, true},
                               {"Front Face", FL_SUBMENU | FL_MENU_DIVIDER, false},
                               {"CCW", FL_MENU_RADIO | FL_MENU_VALUE, true},
                               {"CW", FL_MENU_RADIO, true},
                               {nullptr, 0, false},
                               {nullptr, 0, false},
                               {nullptr, 0, false}};
  for (int i = 0; i < kMenuRows; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const Fl_Menu_Item& item = ViewerUI::mainMenu[i];
    if (rows[i].label)
      EXPECT_STREQ(rows[i].label, item.label());
    else
      EXPECT_EQ(nullptr, item.label());
    EXPECT_EQ(rows[i].flags, item.flags);
    EXPECT_EQ(rows[i].callback, item.callback() != nullptr);
    EXPECT_EQ(0, item.shortcut());
    EXPECT_EQ(nullptr, item.user_data());
    if (!rows[i].label) continue;
    EXPECT_EQ(FL_NORMAL_LABEL, item.labeltype());
    EXPECT_EQ(0, item.labelfont());
    EXPECT_EQ(14, item.labelsize());
    EXPECT_EQ(FL_BLACK, item.labelcolor());
  }
  // The nesting as the toolkit reads it.
  EXPECT_EQ(&ViewerUI::mainMenu[6], MenuBar()->find_item("File/Exit"));
  EXPECT_EQ(&ViewerUI::mainMenu[15], MenuBar()->find_item("Render/Appearance/Specular Light"));
  EXPECT_EQ(&ViewerUI::mainMenu[17], MenuBar()->find_item("Render/Othography"));
  EXPECT_EQ(&ViewerUI::mainMenu[21], MenuBar()->find_item("Render/Front Face/CW"));
}

TEST_F(ViewerUITest, MouseTargetRadios) {
  Fl_Button* moveMesh = ButtonAt(4, 0);
  Fl_Button* moveLight = ButtonAt(4, 1);
  Click(moveLight);
  EXPECT_TRUE(ui->view->moveLight);
  EXPECT_EQ(0, moveMesh->value());
  EXPECT_EQ(1, moveLight->value());
  EXPECT_FALSE(RedrawRequested());
  Click(moveMesh);
  EXPECT_FALSE(ui->view->moveLight);
  EXPECT_EQ(1, moveMesh->value());
  EXPECT_EQ(0, moveLight->value());
  EXPECT_FALSE(RedrawRequested());
}

TEST_F(ViewerUITest, RenderModeRadiosSetTheModeAndRedrawOnlyOnChange) {
  const RenderMode modes[] = {Surface, Wireframe, Points};
  for (int pick : {1, 2, 0}) {
    Settle();
    Click(ButtonAt(5, pick));
    EXPECT_EQ(modes[pick], ui->view->renderMode);
    EXPECT_TRUE(RedrawRequested());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(i == pick, ButtonAt(5, i)->value() != 0) << i;
  }
  Settle();
  Click(ButtonAt(5, 0));
  EXPECT_FALSE(RedrawRequested());
}

TEST_F(ViewerUITest, ColorModeRadiosFollowTheirLabelsNotTheirOrder) {
  Click(ui->trueColorButton);
  EXPECT_EQ(TrueColor, ui->view->colorMode);
  Click(ButtonAt(6, 1));
  EXPECT_EQ(Confidence, ui->view->colorMode);
  EXPECT_EQ(0, ui->trueColorButton->value());
  Click(ui->grayShadeButton);
  EXPECT_EQ(GrayShade, ui->view->colorMode);
  EXPECT_EQ(1, ui->grayShadeButton->value());
  EXPECT_EQ(1, ButtonAt(8, 0)->value()) << "the preset group is a radio set of its own";
}

TEST_F(ViewerUITest, LightCheckSwitchesLightingAndLeavesThePresetsAlone) {
  Click(ui->lightButton);
  EXPECT_EQ(0, ui->lightButton->value());
  EXPECT_FALSE(ui->view->lighting);
  EXPECT_TRUE(RedrawRequested());
  EXPECT_EQ(1, ButtonAt(8, 0)->value());
  Click(ui->lightButton);
  EXPECT_TRUE(ui->view->lighting);
}

TEST_F(ViewerUITest, LitGrayPresetOnLitGrayOnlySetsTheButtons) {
  ui->lightButton->value(0);
  ui->trueColorButton->setonly();
  Settle();
  ButtonAt(8, 0)->do_callback();
  EXPECT_EQ(1, ui->lightButton->value());
  EXPECT_EQ(1, ui->grayShadeButton->value());
  EXPECT_EQ(0, ui->trueColorButton->value());
  EXPECT_TRUE(ui->view->lighting);
  EXPECT_EQ(GrayShade, ui->view->colorMode);
  EXPECT_FALSE(RedrawRequested());
}

TEST_F(ViewerUITest, ColorUnlitThenGrayShadeLeavesThePresetBehind) {
  Click(ButtonAt(8, 1));
  EXPECT_EQ(0, ui->lightButton->value());
  EXPECT_EQ(1, ui->trueColorButton->value());
  EXPECT_EQ(0, ui->grayShadeButton->value());
  EXPECT_EQ(TrueColor, ui->view->colorMode);
  EXPECT_FALSE(ui->view->lighting);
  EXPECT_TRUE(RedrawRequested());

  Click(ui->grayShadeButton);
  EXPECT_EQ(GrayShade, ui->view->colorMode);
  EXPECT_FALSE(ui->view->lighting);
  EXPECT_EQ(1, ButtonAt(8, 1)->value());

  Settle();
  Click(ButtonAt(8, 0));
  EXPECT_TRUE(ui->view->lighting);
  EXPECT_EQ(GrayShade, ui->view->colorMode);
  EXPECT_EQ(1, ui->lightButton->value());
  EXPECT_TRUE(RedrawRequested());
}

TEST_F(ViewerUITest, ASecondClickOnASetPresetAppliesItAgain) {
  struct Row {
    const char* what;
    int preset;          // index in group 10
    Fl_Button* changed;  // the control used after the preset
    ColorMode mode;
    bool lighting;
  };
  const Row rows[] = {{"gray after True Color", 0, ui->trueColorButton, GrayShade, true},
                      {"gray after Light", 0, ui->lightButton, GrayShade, true},
                      {"unlit after Gray Shade", 1, ui->grayShadeButton, TrueColor, false},
                      {"unlit after Light", 1, ui->lightButton, TrueColor, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fl_Button* preset = ButtonAt(8, row.preset);
    Click(preset);
    Click(row.changed);
    Settle();
    Click(preset);
    EXPECT_EQ(row.mode, ui->view->colorMode);
    EXPECT_EQ(row.lighting, ui->view->lighting);
    EXPECT_EQ(row.lighting ? 1 : 0, ui->lightButton->value());
    EXPECT_EQ(1, (row.mode == GrayShade ? ui->grayShadeButton : ui->trueColorButton)->value());
    EXPECT_EQ(1, preset->value());
    EXPECT_TRUE(RedrawRequested());
  }
}

TEST_F(ViewerUITest, ColorUnlitWhenAlreadyUnlitColorDoesNotRedraw) {
  ui->view->SetColorMode(TrueColor);
  ui->view->SetLighting(false);
  Settle();
  Click(ButtonAt(8, 1));
  EXPECT_EQ(1, ui->trueColorButton->value());
  EXPECT_EQ(0, ui->lightButton->value());
  EXPECT_FALSE(RedrawRequested());
}

TEST_F(ViewerUITest, ResetViewpointRestoresTheCamera) {
  AddMesh("a");
  store->current = 0;
  ui->view->ResetView();
  Vec3d center = ui->view->center;
  ui->view->scale = 3;
  ui->view->center = Vec3d{5, 5, 5};
  Settle();
  Click(ButtonAt(3, 0));
  EXPECT_EQ(1.0, ui->view->scale);
  EXPECT_EQ(center.x, ui->view->center.x);
  EXPECT_EQ(center.z, ui->view->center.z);
  EXPECT_TRUE(RedrawRequested());
}

TEST_F(ViewerUITest, OthographyToggleSwitchesProjectionBothWays) {
  Pick("Render/Othography");
  EXPECT_TRUE(ViewerUI::mainMenu[17].value());
  EXPECT_TRUE(ui->view->ortho);
  EXPECT_TRUE(RedrawRequested());
  Settle();
  Pick("Render/Othography");
  EXPECT_FALSE(ViewerUI::mainMenu[17].value());
  EXPECT_FALSE(ui->view->ortho);
  EXPECT_TRUE(RedrawRequested());
}

TEST_F(ViewerUITest, FlipNormalNegatesAndRedraws) {
  Mesh* mesh = AddMesh("a");
  store->current = 0;
  Settle();
  Pick("Render/Flip Normal");
  EXPECT_EQ(-1.0f, mesh->vertices[0].normal[2]);
  EXPECT_TRUE(RedrawRequested());
  Pick("Render/Flip Normal");
  EXPECT_EQ(1.0f, mesh->vertices[0].normal[2]);
}

TEST_F(ViewerUITest, FlipNormalOnAnEmptyStoreDoesNothing) {
  Pick("Render/Flip Normal");
  EXPECT_TRUE(store->meshes.empty());
  EXPECT_EQ(-1, store->current);
}

TEST_F(ViewerUITest, FrontFaceRadioSetsTheWindingOfTheViewsContext) {
  Pick("Render/Front Face/CW");
  EXPECT_TRUE(ViewerUI::mainMenu[21].value());
  EXPECT_FALSE(ViewerUI::mainMenu[20].value());
  ui->view->make_current();
  GLint face = 0;
  glGetIntegerv(GL_FRONT_FACE, &face);
  EXPECT_EQ(GL_CW, face);
  EXPECT_TRUE(RedrawRequested());
  Pick("Render/Front Face/CCW");
  ui->view->make_current();
  glGetIntegerv(GL_FRONT_FACE, &face);
  EXPECT_EQ(GL_CCW, face);
  EXPECT_TRUE(ViewerUI::mainMenu[20].value());
}

TEST_F(ViewerUITest, AppearanceItemsOpenTheirOwnColor) {
  struct Item {
    const char* path;
    const char* title;
    float* color;
  };
  ViewAppearance& a = ui->view->appearance;
  const Item items[] = {{"Render/Appearance/Background", "Background Color", a.background},
                        {"Render/Appearance/Diffuse Material", "Diffuse Material Color", a.material.diffuse},
                        {"Render/Appearance/Specular Material", "Specular Material Color", a.material.specular},
                        {"Render/Appearance/Ambient Light", "Ambient Light Color", a.light.ambient},
                        {"Render/Appearance/Diffuse Light", "Diffuse Light Color", a.light.diffuse},
                        {"Render/Appearance/Specular Light", "Specular Light Color", a.light.specular}};
  for (const Item& item : items) {
    SCOPED_TRACE(item.path);
    answers.colorTitles.clear();
    answers.color = 0;
    float before[4] = {item.color[0], item.color[1], item.color[2], item.color[3]};
    Settle();
    Pick(item.path);
    ASSERT_EQ(std::vector<std::string>{item.title}, answers.colorTitles);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(before[k], item.color[k]);
    EXPECT_FALSE(RedrawRequested());

    answers.color = 1;
    answers.r = 0.25;
    answers.g = 0.5;
    answers.b = 0.125;
    Pick(item.path);
    EXPECT_EQ(0.25f, item.color[0]);
    EXPECT_EQ(0.5f, item.color[1]);
    EXPECT_EQ(0.125f, item.color[2]);
    EXPECT_EQ(before[3], item.color[3]);
    EXPECT_TRUE(RedrawRequested());
  }
  EXPECT_EQ(0.25f, a.material.ambient[0]);
}

TEST_F(ViewerUITest, OpenItemsAskForTheirKindOfFile) {
  struct Item {
    const char* path;
    const char* pattern;
  };
  const Item items[] = {{"File/Open Mesh", "*.ply"},
                        {"File/Open Depthmap", "*.dpt"},
                        {"File/Open Mesh Sequence", "*.{msq,txt}"},
                        {"File/Open Depthmap Sequence", "*.{dsq,txt}"}};
  AddMeshes(2, 1);
  for (const Item& item : items) {
    SCOPED_TRACE(item.path);
    answers.filePatterns.clear();
    Pick(item.path);
    EXPECT_EQ(std::vector<std::string>{item.pattern}, answers.filePatterns);
    EXPECT_EQ(2u, store->meshes.size()) << "a cancelled chooser changed the store";
  }
  EXPECT_EQ(4u, answers.fileMessages.size());
  EXPECT_NE(answers.fileMessages[2], answers.fileMessages[3]);
  EXPECT_TRUE(answers.questions.empty());
}

TEST_F(ViewerUITest, DeleteAllEmptiesTheStoreAndKeepsPlaying) {
  AddMeshes(3, 1);
  player.Play();
  Pick("File/Delete All");
  EXPECT_TRUE(store->meshes.empty());
  EXPECT_EQ(-1, store->current);
  EXPECT_EQ(Forward, player.mode);
}

TEST_F(ViewerUITest, ExitAnsweredNoLeavesEverythingAsItWas) {
  AddMeshes(2, 1);
  answers.ask = 0;
  Pick("File/Exit");
  EXPECT_EQ(std::vector<std::string>{"Do you really want to exit vexol?"}, answers.questions);
  EXPECT_TRUE(ui->window->shown());
  EXPECT_EQ(2u, store->meshes.size());
  EXPECT_EQ(1, store->current);
}

TEST_F(ViewerUITest, ExitAnsweredYesEndsTheProcessWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  answers.ask = 1;
  EXPECT_EXIT(Pick("File/Exit"), testing::ExitedWithCode(0), "");
}

// Playback

TEST_F(ViewerUITest, NextAndPrevStepByEveryWithWrapAround) {
  AddMeshes(5, 4);
  ui->view->redraw();
  Settle();
  ui->everyCounter->value(3);
  Click(ui->nextButton);
  EXPECT_EQ(2, store->current);
  EXPECT_TRUE(RedrawRequested());
  EXPECT_EQ(4, ui->frameOutput->value()) << "the labels ran ahead of the picture";
  Fl::flush();
  EXPECT_EQ(2, ui->frameOutput->value());
  EXPECT_STREQ("mesh2", ui->meshInfoOutput->value());
  store->current = 0;
  Click(ui->prevButton);
  EXPECT_EQ(2, store->current);
}

TEST_F(ViewerUITest, EveryLargerThanTheCountStepsByItsRemainder) {
  AddMeshes(4, 0);
  ui->everyCounter->value(10);
  player.StepForward();
  EXPECT_EQ(2, store->current);
  player.StepForward();
  EXPECT_EQ(0, store->current);
  player.StepBackward();
  EXPECT_EQ(2, store->current);
}

TEST_F(ViewerUITest, EveryEqualToTheCountStaysButRedraws) {
  AddMeshes(3, 1);
  ui->everyCounter->value(3);
  Settle();
  player.StepForward();
  EXPECT_EQ(1, store->current);
  EXPECT_TRUE(RedrawRequested());
}

TEST_F(ViewerUITest, MeshInfoKeepsItsOwnCopyOfTheName) {
  Mesh* mesh = AddMesh("first");
  AddMesh("second");
  store->current = 1;
  player.StepForward();
  Fl::flush();
  EXPECT_STREQ("first", ui->meshInfoOutput->value());
  mesh->name = "renamed after showing";
  EXPECT_STREQ("first", ui->meshInfoOutput->value());
}

// The labels follow a cleared store at once, and name no deleted mesh over the empty view.
TEST_F(ViewerUITest, StepsOnAnEmptyStoreDoNothing) {
  AddMeshes(2, 1);
  player.StepForward();
  Settle();
  EXPECT_STREQ("mesh0", ui->meshInfoOutput->value());
  store->Clear();
  Settle();
  Click(ui->nextButton);
  Click(ui->prevButton);
  EXPECT_EQ(-1, store->current);
  EXPECT_EQ(-1, ui->frameOutput->value());
  EXPECT_STREQ("", ui->meshInfoOutput->value());
  EXPECT_FALSE(RedrawRequested());
}

TEST_F(ViewerUITest, RefreshSetsTheButtonsByTheCount) {
  player.Refresh();
  EXPECT_EQ(-1, ui->frameOutput->value());
  EXPECT_EQ(Active({false, false, false, false, false, false}), ButtonsActive());
  AddMesh("only");
  store->current = 0;
  player.Refresh();
  EXPECT_EQ(Active({false, false, false, false, false, true}), ButtonsActive());
  EXPECT_STREQ("only", ui->meshInfoOutput->value());
  EXPECT_EQ(0, ui->frameOutput->value());
  AddMesh("two");
  player.Refresh();
  EXPECT_EQ(Active({true, true, true, true, true, true}), ButtonsActive());
}

TEST_F(ViewerUITest, RefreshWithNoCurrentMeshEmptiesTheInfoAndNextFindsTheFirst) {
  AddMeshes(3, 2);
  player.Refresh();
  store->current = -1;
  Settle();
  player.Refresh();
  EXPECT_EQ(-1, ui->frameOutput->value());
  EXPECT_STREQ("", ui->meshInfoOutput->value());
  EXPECT_FALSE(RedrawRequested());
  Click(ui->nextButton);
  EXPECT_EQ(0, store->current);
  Fl::flush();
  EXPECT_STREQ("mesh0", ui->meshInfoOutput->value());
}

TEST_F(ViewerUITest, PlayReverseAndStopSetModeAndButtons) {
  AddMeshes(3, 0);
  Click(ui->playButton);
  EXPECT_EQ(Forward, player.mode);
  EXPECT_EQ(Active({false, false, false, true, true, false}), ButtonsActive());
  Click(ui->reverseButton);
  EXPECT_EQ(Backward, player.mode);
  EXPECT_EQ(Active({false, false, true, false, true, false}), ButtonsActive());
  Click(ui->stopButton);
  EXPECT_EQ(Stopped, player.mode);
  EXPECT_EQ(Active({true, true, true, true, true, true}), ButtonsActive());
}

TEST_F(ViewerUITest, DeleteRedrawsAtOnceAndTheDisplaysFollowThePicture) {
  AddMeshes(3, 1);
  player.Refresh();
  Settle();
  Click(ui->deleteButton);
  ASSERT_EQ(2u, store->meshes.size());
  EXPECT_EQ(1, store->current);
  EXPECT_EQ("mesh2", store->meshes[1]->name);
  EXPECT_TRUE(RedrawRequested());
  player.Refresh();
  EXPECT_STREQ("mesh1", ui->meshInfoOutput->value()) << "named a frame not yet drawn";
  Fl::flush();
  EXPECT_STREQ("mesh2", ui->meshInfoOutput->value());
  Click(ui->deleteButton);
  EXPECT_EQ(0, store->current) << "deleting the last mesh makes the new last one current";
}

// Records the sequence of current indices the running timer goes through.
std::vector<int> WatchFrames(MeshStore* store, size_t changes, double seconds) {
  std::vector<int> seen = {store->current};
  Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (seen.size() <= changes && Clock::now() < end) {
    Fl::wait(0.002);
    if (store->current != seen.back()) seen.push_back(store->current);
  }
  return seen;
}

TEST_F(ViewerUITest, TimerPlaysForwardAndBackwardWithWrapAround) {
  AddMeshes(5, 0);
  ui->everyCounter->value(2);
  ui->pauseCounter->value(20);
  Fl::add_timeout(0.0, OnTimer, &player);
  Click(ui->playButton);
  EXPECT_EQ(std::vector<int>({0, 2, 4, 1, 3, 0, 2}), WatchFrames(store, 6, 10));
  Click(ui->reverseButton);
  int from = store->current;
  std::vector<int> back = WatchFrames(store, 5, 10);
  ASSERT_EQ(6u, back.size());
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ((from + 5 * 5 - 2 * int(i)) % 5, back[i]) << i;
  EXPECT_EQ(store->current, int(ui->frameOutput->value()));
}

TEST_F(ViewerUITest, TimerWhileStoppedRefreshesButtonsAndFrame) {
  AddMesh("only");
  store->current = 0;
  ui->pauseCounter->value(5);
  Fl::add_timeout(0.0, OnTimer, &player);
  WaitFor([&] { return !ui->nextButton->active(); }, 5);
  EXPECT_EQ(Active({false, false, false, false, false, true}), ButtonsActive());
  EXPECT_EQ(0, ui->frameOutput->value());
  EXPECT_STREQ("only", ui->meshInfoOutput->value());
  EXPECT_EQ(0, store->current);
}

TEST_F(ViewerUITest, PauseIsThePeriodBetweenTicks) {
  AddMeshes(3, 0);
  ui->pauseCounter->value(150);
  player.mode = Forward;
  Fl::add_timeout(0.0, OnTimer, &player);
  WatchFrames(store, 1, 5);
  Clock::time_point start = Clock::now();
  std::vector<int> seen = WatchFrames(store, 2, 5);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(3u, seen.size());
  EXPECT_GT(elapsed, 0.25);
  EXPECT_LT(elapsed, 1.5);

  ui->pauseCounter->value(0);
  alarm(20);  // a zero delay that starves the toolkit's loop never returns from Fl::wait
  start = Clock::now();
  seen = WatchFrames(store, 20, 5);
  alarm(0);
  elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(21u, seen.size());
  EXPECT_LT(elapsed, 1.0) << "a pause of 0 should tick as fast as the loop allows";
}

// Frames of a grid that fills the view: drawing one takes several milliseconds.
void AddGridFrames(MeshStore* store, int count) {
  const int n = 100;
  for (int f = 0; f < count; ++f) {
    Mesh* mesh = new Mesh;
    mesh->name = "frame" + std::to_string(f);
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        MeshVertex v{};
        v.position[0] = float(x) / (n - 1);
        v.position[1] = float(y) / (n - 1);
        v.position[2] = 0.01f * f;
        v.normal[2] = 1;
        mesh->vertices.push_back(v);
        mesh->bounds.Extend(v.position[0], v.position[1], v.position[2]);
      }
    for (int y = 0; f == 0 && y + 1 < n; ++y)
      for (int x = 0; x + 1 < n; ++x) {
        const int32_t a = y * n + x;
        mesh->triangles.push_back(MeshTriangle{{a, a + 1, a + n}, {0, 0, 1}});
        mesh->triangles.push_back(MeshTriangle{{a + 1, a + n + 1, a + n}, {0, 0, 1}});
      }
    store->Add(mesh);
  }
  store->sharedTriangles = true;
  store->current = 0;
}

// The frames the window showed while the timer ran. The toolkit draws at most once in a pass of its
// loop, after the due timeouts: when a pass leaves nothing to draw, the screen shows the current mesh.
std::vector<int> WatchShownFrames(ViewerUI* ui, MeshStore* store, size_t count, double seconds) {
  std::vector<int> shown;
  Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (shown.size() < count && Clock::now() < end) {
    Fl::wait(0.002);
    if (ui->view->damage() || ui->window->damage()) continue;
    EXPECT_EQ(store->current, int(ui->frameOutput->value())) << "\"Frame:\" names another picture";
    if (shown.empty() || shown.back() != store->current) shown.push_back(store->current);
  }
  return shown;
}

TEST_F(ViewerUITest, PlaybackShowsEveryFrameWhenDrawingIsSlowerThanThePause) {
  const int kFrames = 12;
  AddGridFrames(store, kFrames);
  ui->view->ResetView();
  struct Run {
    double pause;
    PlayMode mode;
  };
  Fl::add_timeout(0.0, OnTimer, &player);
  for (const Run& run : {Run{0, Forward}, Run{1, Backward}}) {
    SCOPED_TRACE("pause " + std::to_string(int(run.pause)));
    ui->pauseCounter->value(run.pause);
    Click(run.mode == Forward ? ui->playButton : ui->reverseButton);
    std::vector<int> shown = WatchShownFrames(ui, store, 30, 20);
    ASSERT_EQ(30u, shown.size()) << "playback stalled";
    std::vector<int> consecutive = {shown[0]};
    while (consecutive.size() < shown.size())
      consecutive.push_back((consecutive.back() + (run.mode == Forward ? 1 : kFrames - 1)) % kFrames);
    EXPECT_EQ(consecutive, shown);
  }
}

TEST_F(ViewerUITest, DeleteAllWhilePlayingKeepsTheTimerHarmless) {
  AddMeshes(4, 0);
  ui->pauseCounter->value(5);
  Fl::add_timeout(0.0, OnTimer, &player);
  Click(ui->playButton);
  WatchFrames(store, 3, 5);
  Pick("File/Delete All");
  WaitFor([] { return false; }, 0.2);
  EXPECT_EQ(-1, store->current);
  EXPECT_EQ(Forward, player.mode);
  Click(ui->stopButton);
  WaitFor([&] { return !ui->deleteButton->active(); }, 5);
  EXPECT_EQ(Active({false, false, false, false, false, false}), ButtonsActive());
  EXPECT_EQ(-1, ui->frameOutput->value());
}

// Loading, drops and keys

// Between the frames of a load only Escape and the close box act (a click on Delete does not): they
// stop it at the next frame, keeping the frames so far; the close box then closes the window.
TEST_F(ViewerUITest, EscapeOrTheCloseBoxStopASequenceLoadAtTheNextFrame) {
  const std::string msq = WriteMeshSequence(8);
  for (int event : {FL_KEYBOARD, FL_CLOSE}) {
    std::function<bool(int64_t, int64_t)> shown = store->progress;
    store->progress = [&](int64_t done, int64_t total) {
      if (done == 3) Click(ui->deleteButton), Fl::e_keysym = FL_Escape, Fl::handle(event, ui->window);
      return shown(done, total);
    };
    testing::internal::CaptureStderr();
    ui->Open(msq.c_str());
    EXPECT_EQ("MeshStore::OpenMeshSequence: loading stopped after 3 frames\n", testing::internal::GetCapturedStderr());
    store->progress = shown;
    EXPECT_EQ(3u, store->meshes.size());
    EXPECT_STREQ("Loading frame 4 of 8 (Escape stops)", ui->progressBar->label());
    EXPECT_TRUE(ui->meshInfoOutput->visible() && !ui->progressBar->visible());
    EXPECT_EQ(event == FL_KEYBOARD, ui->window->shown() != 0);
    store->Clear();
  }
}

// A drop arrives as a paste of a URI list.
TEST_F(ViewerUITest, DroppedFilesOpenAsTheFileMenuWouldOpenThem) {
  const std::string a = WriteTriangle("a.ply", 0), spaced = WriteTriangle("b c.ply", 2), seq = WriteMeshSequence(2);
  const std::string uri = "file://" + files.path + "/", f = "finish loading " + files.path + "/f";
  struct Row {
    std::string list, out, err;
    size_t meshes;
  };
  for (const Row& row :
       std::vector<Row>{{uri + "a.ply\r\n" + uri + "b%20c.ply\r\n",
                         "finish loading " + a + "\nfinish loading " + spaced + "\n", "", 2},
                        {uri + "a.ply\n" + "file://localhost" + seq + "\n", f + "0.ply\r" + f + "1.ply\r", "", 2},
                        {"#c\n" + uri + "s.txt\nhttp://h/x.ply\n", "vexol: unknown input file type!\n",
                         "vexol: not a local file, ignored: http://h/x.ply\n", 0}}) {
    store->Clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Fl::e_text = const_cast<char*>(row.list.c_str());
    Fl::e_length = int(row.list.size());
    ui->window->handle(FL_PASTE);
    EXPECT_EQ(row.err, testing::internal::GetCapturedStderr());
    EXPECT_EQ(row.out, testing::internal::GetCapturedStdout()) << row.list;
    EXPECT_EQ(row.meshes, store->meshes.size());
  }
}

// Space after a click on Delete plays; the arrows step by "Every:" unless the user works a counter.
TEST_F(ViewerUITest, KeysDrivePlaybackAndNeverPressTheFocusedButton) {
  auto Key = [](Fl_Window* window, int key) { Fl::e_keysym = key, Fl::e_state = 0, Fl::handle(FL_KEYBOARD, window); };
  AddMeshes(5, 2);
  Click(ui->deleteButton);
  Key(ui->window, ' ');
  EXPECT_EQ(4u, store->meshes.size());
  EXPECT_EQ(Forward, player.mode);
  Key(ui->window, ' ');
  ui->everyCounter->value(3);
  Click(ui->frameOutput);  // the counter that the focus fell to when Delete went inactive takes no keys
  for (auto step : std::vector<std::pair<int, int>>{{FL_Right, 1}, {FL_Left, 2}, {FL_Home, 0}, {FL_End, 3}}) {
    Key(ui->window, step.first);
    EXPECT_EQ(step.second, store->current) << step.first;
  }
  Click(ui->everyCounter);
  Key(ui->window, FL_Right);
  EXPECT_EQ(4, ui->everyCounter->value());
  ui->view->scale = 3;
  Key(ui->window, 'r');
  EXPECT_EQ(1, ui->view->scale);
}
}  // namespace
