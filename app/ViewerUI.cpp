#include "app/ViewerUI.h"

#include <FL/Fl_Box.H>
#include <FL/filename.H>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/Player.h"
#include "store/Dialogs.h"
#include "store/MeshStore.h"

namespace {
// Every widget lives in the main window, whose user data is the ViewerUI.
ViewerUI* UiOf(Fl_Widget* w) { return static_cast<ViewerUI*>(w->window()->user_data()); }

void OnNext(Fl_Widget* w, void*) { UiOf(w)->player->StepForward(); }
void OnPrev(Fl_Widget* w, void*) { UiOf(w)->player->StepBackward(); }
void OnPlay(Fl_Widget* w, void*) { UiOf(w)->player->Play(); }
void OnReverse(Fl_Widget* w, void*) { UiOf(w)->player->Reverse(); }
void OnStop(Fl_Widget* w, void*) { UiOf(w)->player->Stop(); }
void OnDelete(Fl_Widget* w, void*) { UiOf(w)->player->DeleteCurrent(); }

void OnResetViewpoint(Fl_Widget* w, void*) { UiOf(w)->view->ResetView(); }
void OnMoveMesh(Fl_Widget* w, void*) { UiOf(w)->view->moveLight = false; }
void OnMoveLight(Fl_Widget* w, void*) { UiOf(w)->view->moveLight = true; }

void OnSurface(Fl_Widget* w, void*) { UiOf(w)->view->SetRenderMode(Surface); }
void OnWireframe(Fl_Widget* w, void*) { UiOf(w)->view->SetRenderMode(Wireframe); }
void OnPoints(Fl_Widget* w, void*) { UiOf(w)->view->SetRenderMode(Points); }

void OnGrayShade(Fl_Widget* w, void*) { UiOf(w)->view->SetColorMode(GrayShade); }
void OnTrueColor(Fl_Widget* w, void*) { UiOf(w)->view->SetColorMode(TrueColor); }
void OnConfidence(Fl_Widget* w, void*) { UiOf(w)->view->SetColorMode(Confidence); }

void OnLight(Fl_Widget* w, void*) { UiOf(w)->view->SetLighting(static_cast<Fl_Button*>(w)->value() != 0); }

// The presets set the controls without running their callbacks, then the view once.
void OnLitGrayPreset(Fl_Widget* w, void*) {
  ViewerUI* ui = UiOf(w);
  ui->lightButton->value(1);
  ui->grayShadeButton->setonly();
  MeshView* view = ui->view;
  if (view->colorMode == GrayShade && view->lighting) return;
  view->colorMode = GrayShade;
  view->SetLighting(true);
  view->redraw();
}

void OnUnlitColorPreset(Fl_Widget* w, void*) {
  ViewerUI* ui = UiOf(w);
  ui->lightButton->value(0);
  ui->trueColorButton->setonly();
  MeshView* view = ui->view;
  if (view->colorMode == TrueColor && !view->lighting) return;
  view->colorMode = TrueColor;
  view->SetLighting(false);
  view->redraw();
}

// The File menu's four open items: a chooser, then the load it leads to, if any.
template <void (MeshStore::*choose)()>
void OnOpen(Fl_Widget* w, void*) {
  ViewerUI* ui = UiOf(w);
  (ui->store->*choose)();
  ui->EndLoad();
}
void OnDeleteAll(Fl_Widget* w, void*) { UiOf(w)->store->Clear(); }

// The toolkit's default closes a window on Escape too; only the title bar's close box ends the program.
void OnCloseWindow(Fl_Widget* w, void*) {
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  w->hide();
}

void ConfirmExit(Fl_Widget*, void*) {
  if (Dialogs::ask("Do you really want to exit vexol?")) std::exit(0);
}

void OnBackground(Fl_Widget* w, void*) { UiOf(w)->view->ChooseBackgroundColor(); }
void OnDiffuseMaterial(Fl_Widget* w, void*) { UiOf(w)->view->ChooseDiffuseMaterialColor(); }
void OnSpecularMaterial(Fl_Widget* w, void*) { UiOf(w)->view->ChooseSpecularMaterialColor(); }
void OnAmbientLight(Fl_Widget* w, void*) { UiOf(w)->view->ChooseAmbientLightColor(); }
void OnDiffuseLight(Fl_Widget* w, void*) { UiOf(w)->view->ChooseDiffuseLightColor(); }
void OnSpecularLight(Fl_Widget* w, void*) { UiOf(w)->view->ChooseSpecularLightColor(); }

// The toolkit has already flipped the toggle of the picked row.
void OnOrthography(Fl_Widget* w, void*) { UiOf(w)->view->SetOrtho(static_cast<Fl_Menu_*>(w)->mvalue()->value() != 0); }
void OnFlipNormal(Fl_Widget* w, void*) {
  UiOf(w)->store->FlipNormals();
  UiOf(w)->view->redraw();  // the lit picture changes at once, not at the next thing that redraws
}
void OnFrontFaceCcw(Fl_Widget* w, void*) { UiOf(w)->view->SetFrontFace(false); }
void OnFrontFaceCw(Fl_Widget* w, void*) { UiOf(w)->view->SetFrontFace(true); }
}  // namespace

Fl_Menu_Item ViewerUI::mainMenu[] = {
    {"File", 0, 0, 0, FL_SUBMENU | FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Mesh", 0, OnOpen<&MeshStore::ChooseMesh>, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Depthmap", 0, OnOpen<&MeshStore::ChooseDepthMap>, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Mesh Sequence", 0, OnOpen<&MeshStore::ChooseMeshSequence>, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Depthmap Sequence", 0, OnOpen<&MeshStore::ChooseDepthMapSequence>, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0,
     14, FL_BLACK},
    {"Delete All", 0, OnDeleteAll, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Exit", 0, ConfirmExit, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"Render", 0, 0, 0, FL_SUBMENU, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Appearance", 0, 0, 0, FL_SUBMENU | FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Background", 0, OnBackground, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Diffuse Material", 0, OnDiffuseMaterial, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Specular Material", 0, OnSpecularMaterial, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Ambient Light", 0, OnAmbientLight, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Diffuse Light", 0, OnDiffuseLight, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Specular Light", 0, OnSpecularLight, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"Othography", 0, OnOrthography, 0, FL_MENU_TOGGLE | FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Flip Normal", 0, OnFlipNormal, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Front Face", 0, 0, 0, FL_SUBMENU | FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"CCW", 0, OnFrontFaceCcw, 0, FL_MENU_RADIO | FL_MENU_VALUE, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"CW", 0, OnFrontFaceCw, 0, FL_MENU_RADIO, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0}};

ViewerUI::ViewerUI() {
  {
    window = new MainWindow(611, 697, "vexol");
    window->user_data(this);
    window->callback(OnCloseWindow);
    {
      view = new MeshView(130, 30, 480, 640);
      view->box(FL_PLASTIC_DOWN_BOX);
      view->color(FL_BACKGROUND_COLOR);
      view->selection_color(FL_BACKGROUND_COLOR);
      view->labeltype(FL_NORMAL_LABEL);
      view->labelfont(0);
      view->labelsize(14);
      view->labelcolor(FL_BLACK);
      view->align(Fl_Align(FL_ALIGN_CENTER));
      view->when(FL_WHEN_RELEASE);
      view->end();
    }
    {
      Fl_Menu_Bar* o = new Fl_Menu_Bar(0, 0, 1011, 30);
      o->down_box(FL_UP_BOX);
      o->menu(mainMenu);
    }
    {
      Fl_Group* o = new Fl_Group(0, 379, 130, 172);
      o->box(FL_ENGRAVED_FRAME);
      {
        frameOutput = new Fl_Value_Output(60, 383, 60, 25, "Frame:");
        frameOutput->minimum(0);
        frameOutput->maximum(100000);
        frameOutput->step(1);
        frameOutput->value(0);
      }
      {
        everyCounter = new Fl_Counter(60, 441, 60, 25, "Every:");
        everyCounter->type(FL_SIMPLE_COUNTER);
        everyCounter->minimum(1);
        everyCounter->maximum(10);
        everyCounter->step(1);
        everyCounter->value(1);
        everyCounter->align(Fl_Align(FL_ALIGN_LEFT));
      }
      {
        nextButton = new Fl_Button(65, 413, 55, 25, "Next");
        nextButton->callback(OnNext);
      }
      {
        prevButton = new Fl_Button(10, 413, 55, 25, "Prev");
        prevButton->callback(OnPrev);
      }
      {
        pauseCounter = new Fl_Counter(60, 466, 60, 25, "Pause:");
        pauseCounter->type(FL_SIMPLE_COUNTER);
        pauseCounter->minimum(0);
        pauseCounter->maximum(1000);
        pauseCounter->step(1);
        pauseCounter->value(10);
        pauseCounter->align(Fl_Align(FL_ALIGN_LEFT));
      }
      {
        playButton = new Fl_Button(65, 494, 55, 25, "Play");
        playButton->callback(OnPlay);
      }
      {
        reverseButton = new Fl_Button(10, 494, 55, 25, "Reverse");
        reverseButton->callback(OnReverse);
      }
      {
        stopButton = new Fl_Button(65, 519, 55, 25, "Stop");
        stopButton->callback(OnStop);
      }
      {
        deleteButton = new Fl_Button(10, 519, 55, 25, "Delete");
        deleteButton->callback(OnDelete);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(1, 88, 129, 37);
      o->box(FL_ENGRAVED_FRAME);
      {
        Fl_Button* b = new Fl_Button(10, 93, 110, 25, "Reset Viewpoint");
        b->callback(OnResetViewpoint);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(1, 31, 129, 59);
      o->box(FL_ENGRAVED_FRAME);
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 36, 110, 25, "Move Mesh");
        b->type(FL_RADIO_BUTTON);
        b->value(1);
        b->selection_color(Fl_Color(1));
        b->callback(OnMoveMesh);
      }
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 60, 110, 25, "Move Light");
        b->type(FL_RADIO_BUTTON);
        b->selection_color(Fl_Color(1));
        b->callback(OnMoveLight);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(1, 123, 129, 87);
      o->box(FL_ENGRAVED_FRAME);
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 130, 110, 25, "Surface");
        b->type(FL_RADIO_BUTTON);
        b->value(1);
        b->selection_color(Fl_Color(119));
        b->callback(OnSurface);
      }
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 154, 110, 25, "Wireframe");
        b->type(FL_RADIO_BUTTON);
        b->selection_color(Fl_Color(119));
        b->callback(OnWireframe);
      }
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 178, 110, 25, "Points");
        b->type(FL_RADIO_BUTTON);
        b->selection_color(Fl_Color(119));
        b->callback(OnPoints);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(0, 208, 130, 82);
      o->box(FL_ENGRAVED_FRAME);
      {
        grayShadeButton = new Fl_Light_Button(10, 213, 110, 25, "Gray Shade");
        grayShadeButton->type(FL_RADIO_BUTTON);
        grayShadeButton->value(1);
        grayShadeButton->callback(OnGrayShade);
      }
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 261, 110, 25, "Confidence");
        b->type(FL_RADIO_BUTTON);
        b->callback(OnConfidence);
      }
      {
        trueColorButton = new Fl_Light_Button(10, 237, 110, 25, "True Color");
        trueColorButton->type(FL_RADIO_BUTTON);
        trueColorButton->callback(OnTrueColor);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(0, 288, 130, 37);
      o->box(FL_ENGRAVED_FRAME);
      {
        lightButton = new Fl_Check_Button(10, 294, 110, 25, "Light");
        lightButton->box(FL_UP_BOX);
        lightButton->down_box(FL_DOWN_BOX);
        lightButton->value(1);
        lightButton->selection_color(Fl_Color(4));
        lightButton->callback(OnLight);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(0, 323, 130, 57);
      o->box(FL_ENGRAVED_FRAME);
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 328, 110, 25, "Gray Shade");
        b->type(FL_RADIO_BUTTON);
        b->value(1);
        b->selection_color(Fl_Color(231));
        b->callback(OnLitGrayPreset);
        // A preset may no longer match the view after group 8 or Light was used: a click on the set
        // radio applies it again.
        b->when(FL_WHEN_RELEASE_ALWAYS);
      }
      {
        Fl_Light_Button* b = new Fl_Light_Button(10, 352, 110, 25, "Color Unlit");
        b->type(FL_RADIO_BUTTON);
        b->selection_color(Fl_Color(231));
        b->callback(OnUnlitColorPreset);
        b->when(FL_WHEN_RELEASE_ALWAYS);
      }
      o->end();
    }
    {
      Fl_Group* o = new Fl_Group(0, 549, 130, 37);
      o->box(FL_ENGRAVED_FRAME);
      {
        fpsOutput = new Fl_Value_Output(45, 555, 75, 25, "FPS:");
        fpsOutput->minimum(0);
        fpsOutput->maximum(1000);
        fpsOutput->value(0);
      }
      o->end();
    }
    {
      meshInfoOutput = new Fl_Output(130, 670, 480, 25, "Mesh Info:");
      meshInfoOutput->type(FL_NORMAL_OUTPUT);
    }
    {
      progressBar = new Fl_Progress(130, 670, 480, 25);
      progressBar->selection_color(fl_rgb_color(130, 180, 240));  // light, so the black label reads on both parts
      progressBar->hide();
    }
    {
      // The room below the control column: resizing it stretches the view's width and height only,
      // so the controls keep their size and place.
      Fl_Box* room = new Fl_Box(130, 586, 480, 84);
      room->hide();
      window->resizable(room);
    }
    // Smaller than built, the control column would overlap the view and the "Mesh Info:" line.
    window->size_range(611, 697);
    window->end();
  }
}

namespace {
// The one window whose load is running; no other window takes input then.
ViewerUI* loadingUi = nullptr;

int Dispatch(int event, Fl_Window* w) {
  if (loadingUi) return loadingUi->FilterWhileLoading(event, w);
  MainWindow* main = w ? dynamic_cast<MainWindow*>(w->top_window()) : nullptr;
  if (!main || (event != FL_KEYBOARD && event != FL_PUSH)) return Fl::handle_(event, w);
  // The keys are the main window's before any of its widgets sees them, so Space never presses the
  // button that happens to have the focus.
  ViewerUI* ui = static_cast<ViewerUI*>(main->user_data());
  if (event == FL_KEYBOARD && ui->HandleKey()) return 1;
  Fl_Widget* before = Fl::focus();
  const int used = Fl::handle_(event, w);
  // A counter the user clicked or tabbed to keeps its arrows; one that the focus fell to when a
  // button went inactive does not.
  Fl_Counter* counter = dynamic_cast<Fl_Counter*>(Fl::focus());
  if (counter && (event == FL_PUSH ? Fl::event_inside(counter) != 0 : counter != before))
    ui->counterInUse = counter;
  else if (event == FL_PUSH || Fl::focus() != ui->counterInUse)
    ui->counterInUse = nullptr;
  return used;
}
}  // namespace

void ViewerUI::Show(int argc, char** argv) {
  view->SetStore(store);
  store->view = view;
  store->progress = [this](int64_t done, int64_t total) { return ShowProgress(done, total); };
  Player* p = player;
  view->drawn = [p] { p->FrameDrawn(); };
  Fl::event_dispatch(Dispatch);
  window->show(argc, argv);
}

void ViewerUI::Open(const char* path) {
  const char* ext = fl_filename_ext(path);
  if (std::strcmp(ext, ".ply") == 0)
    store->OpenMesh(path);
  else if (std::strcmp(ext, ".dpt") == 0)
    store->OpenDepthMap(path);
  else if (std::strcmp(ext, ".msq") == 0)
    store->OpenMeshSequence(path);
  else if (std::strcmp(ext, ".dsq") == 0)
    store->OpenDepthMapSequence(path);
  else {
    std::printf("vexol: unknown input file type!\n");
    std::fflush(stdout);
  }
  EndLoad();
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local path a dropped line names, or false: "file:///p" and "file://localhost/p" with their
// percent-escapes decoded, or a plain absolute path. A path holding a zero byte names no file.
bool LocalPath(const std::string& line, std::string& path) {
  std::string rest;
  if (line.compare(0, 8, "file:///") == 0)
    rest = line.substr(7);
  else if (line.compare(0, 17, "file://localhost/") == 0)
    rest = line.substr(16);
  else if (!line.empty() && line[0] == '/') {
    path = line;
    return true;
  } else
    return false;
  path.clear();
  for (size_t i = 0; i < rest.size(); ++i) {
    const int high = rest[i] == '%' && i + 2 < rest.size() ? HexDigit(rest[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(rest[i + 2]) : -1;
    if (high >= 0 && low >= 0) {
      path += char(high * 16 + low);
      i += 2;
    } else
      path += rest[i];
  }
  return path.find('\0') == std::string::npos;
}

bool IsDescription(const std::string& path) {
  const char* ext = fl_filename_ext(path.c_str());
  return std::strcmp(ext, ".msq") == 0 || std::strcmp(ext, ".dsq") == 0;
}
}  // namespace

void ViewerUI::Drop(const char* text, int length) {
  if (!text || length <= 0) return;
  std::vector<std::string> paths;
  const char* end = text + length;
  for (const char* line = text; line < end;) {
    const char* stop = line;
    while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
    std::string item(line, stop);
    line = stop + 1;
    if (item.empty() || item[0] == '#') continue;  // blank lines and the list's comments
    std::string path;
    if (LocalPath(item, path)) {
      paths.push_back(path);
    } else {
      std::fprintf(stderr, "vexol: not a local file, ignored: %s\n", item.c_str());
      std::fflush(stderr);
    }
  }
  // A description replaces everything loaded, so the other files of its drop could not stay.
  for (const std::string& path : paths)
    if (IsDescription(path)) return Open(path.c_str());
  for (const std::string& path : paths)
    if (window->shown()) Open(path.c_str());  // the close box during one load ends the drop too
}

bool ViewerUI::ShowProgress(int64_t done, int64_t total) {
  const bool starting = !loading;
  if (starting) {
    loading = true;
    stopRequested = closeRequested = false;
    loadingUi = this;
    meshInfoOutput->hide();
    progressBar->show();
    window->cursor(FL_CURSOR_WAIT);
    // The chooser or question just closed may not have sent its expose events yet: paint all now,
    // or the dialog stays on screen for the whole load.
    window->redraw();
    view->redraw();
  }
  progressBar->maximum(float(total));
  progressBar->value(float(done));
  // A single file is one read with nothing to count: the bar only says that the program is busy.
  if (done == 0 && total == 1)
    std::snprintf(progressText, sizeof progressText, "Loading, please wait");
  else
    std::snprintf(progressText, sizeof progressText, "Loading frame %lld of %lld (Escape stops)",
                  static_cast<long long>(done < total ? done + 1 : total), static_cast<long long>(total));
  progressBar->label(progressText);
  // A pump paints the label and asks the X server for events, a few milliseconds each: with many
  // small frames that slowed a load by a third. So a pump comes at the start, at the end and at
  // most every 40 ms between, still prompt for Escape and a moving bar.
  const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (starting || done >= total || now - lastPump >= std::chrono::milliseconds(40)) {
    lastPump = now;
    Fl::check();
  }
  return !stopRequested;
}

void ViewerUI::EndLoad() {
  if (loading) {
    Fl::check();  // input that came while a file was read is dropped, not acted on after the load
    loadingUi = nullptr;
    loading = false;
    progressBar->hide();
    meshInfoOutput->show();
    window->cursor(FL_CURSOR_DEFAULT);
    if (closeRequested) window->hide();
  }
  // A load that changed nothing on screen (a failure) still leaves labels that match the store.
  if (!view->damage()) player->ShowCurrent();
}

int ViewerUI::FilterWhileLoading(int event, Fl_Window* w) {
  switch (event) {
    case FL_KEYBOARD:
      if (Fl::event_key() == FL_Escape) stopRequested = true;
      return 1;
    case FL_CLOSE:
      if (w == window) stopRequested = closeRequested = true;
      return 1;
    case FL_PUSH:
    case FL_RELEASE:
    case FL_DRAG:
    case FL_MOVE:
    case FL_ENTER:
    case FL_LEAVE:
    case FL_MOUSEWHEEL:
    case FL_KEYUP:
    case FL_SHORTCUT:
    case FL_DND_ENTER:
    case FL_DND_DRAG:
    case FL_DND_LEAVE:
    case FL_DND_RELEASE:
    case FL_PASTE:
      return 1;
    default:
      return Fl::handle_(event, w);
  }
}

int ViewerUI::HandleKey() {
  if (Fl::event_state() & (FL_CTRL | FL_ALT | FL_META)) return 0;
  const bool stopped = player->mode == Stopped;
  switch (Fl::event_key()) {
    case ' ':
      player->PlayOrStop();
      return 1;
    case FL_Left:
    case FL_Right:
      if (Fl::focus() && Fl::focus() == counterInUse) return 0;
      if (stopped) Fl::event_key() == FL_Left ? player->StepBackward() : player->StepForward();
      return 1;
    case FL_Home:
      if (stopped) player->ShowFrame(0);
      return 1;
    case FL_End:
      if (stopped) player->ShowFrame(int32_t(store->meshes.size()) - 1);
      return 1;
    case 'r':
      view->ResetView();
      return 1;
    default:
      return 0;
  }
}
