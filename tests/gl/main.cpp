// gtest first: X11's headers define None, a name gtest uses.
#include <gtest/gtest.h>

// then the toolkit, which brings in X11
#include <FL/Fl.H>
#include <FL/x.H>

#include <cstdio>

// GL tests must fail, not skip, when there is no display to draw on.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  fl_open_display();
  if (!fl_display) {
    std::fprintf(stderr, "vexol_gl_tests: no X display\n");
    return 1;
  }
  Fl::visual(FL_DOUBLE | FL_RGB8);
  return RUN_ALL_TESTS();
}
