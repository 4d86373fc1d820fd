#include "app/ViewerUI.h"

#include <cstdlib>

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

void OnOpenMesh(Fl_Widget* w, void*) { UiOf(w)->store->ChooseMesh(); }
void OnOpenDepthMap(Fl_Widget* w, void*) { UiOf(w)->store->ChooseDepthMap(); }
void OnOpenMeshSequence(Fl_Widget* w, void*) { UiOf(w)->store->ChooseMeshSequence(); }
void OnOpenDepthMapSequence(Fl_Widget* w, void*) { UiOf(w)->store->ChooseDepthMapSequence(); }
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
void OnFlipNormal(Fl_Widget* w, void*) { UiOf(w)->store->FlipNormals(); }
void OnFrontFaceCcw(Fl_Widget* w, void*) { UiOf(w)->view->SetFrontFace(false); }
void OnFrontFaceCw(Fl_Widget* w, void*) { UiOf(w)->view->SetFrontFace(true); }
}  // namespace

Fl_Menu_Item ViewerUI::mainMenu[] = {
    {"File", 0, 0, 0, FL_SUBMENU | FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Mesh", 0, OnOpenMesh, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Depthmap", 0, OnOpenDepthMap, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Mesh Sequence", 0, OnOpenMeshSequence, 0, 0, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
    {"Open Depthmap Sequence", 0, OnOpenDepthMapSequence, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 14, FL_BLACK},
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
    window = new Fl_Window(611, 697, "vexol");
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
        Fl_Value_Output* v = new Fl_Value_Output(45, 555, 75, 25, "FPS:");
        v->minimum(0);
        v->maximum(1000);
        v->value(0);
      }
      o->end();
    }
    {
      meshInfoOutput = new Fl_Output(130, 670, 480, 25, "Mesh Info:");
      meshInfoOutput->type(FL_NORMAL_OUTPUT);
    }
    window->resizable(view);
    // Smaller than built, the control column would overlap the view and the "Mesh Info:" line.
    window->size_range(611, 697);
    window->end();
  }
}

void ViewerUI::Show(int argc, char** argv) {
  view->SetStore(store);
  store->view = view;
  window->show(argc, argv);
}
