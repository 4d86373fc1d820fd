#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "geometry/BoundingBox.h"

TEST(BoundingBox, NewBoxIsEmptyAndUnitBoxHasHalfDiagonalRadius) {
  BoundingBox box;
  EXPECT_TRUE(box.IsEmpty());
  EXPECT_EQ(box.min[0], DBL_MAX);
  EXPECT_EQ(box.max[2], -DBL_MAX);
  box.SetUnit();
  EXPECT_FALSE(box.IsEmpty());
  BoundingSphere s = box.Sphere();
  EXPECT_DOUBLE_EQ(s.center[0], 0.5);
  EXPECT_DOUBLE_EQ(s.center[2], 0.5);
  EXPECT_DOUBLE_EQ(s.radius, std::sqrt(3.0) / 2);
}

TEST(BoundingBox, OnePointGivesZeroRadiusAndNanChangesNothing) {
  BoundingBox box;
  box.Extend(1, -2, 3);
  EXPECT_FALSE(box.IsEmpty());
  EXPECT_EQ(box.Sphere().radius, 0.0);
  box.Extend(NAN, 5, NAN);
  EXPECT_EQ(box.min[0], 1);
  EXPECT_EQ(box.max[0], 1);
  EXPECT_EQ(box.max[1], 5);
  EXPECT_EQ(box.min[2], 3);
}

TEST(BoundingBox, MergingAnEmptyBoxChangesNothing) {
  BoundingBox a, empty;
  a.Extend(0, 0, 0);
  a.Extend(2, 4, 6);
  a.Merge(empty);
  EXPECT_EQ(a.min[1], 0);
  EXPECT_EQ(a.max[1], 4);
  BoundingBox b;
  b.Extend(-1, 1, 10);
  a.Merge(b);
  EXPECT_EQ(a.min[0], -1);
  EXPECT_EQ(a.max[2], 10);
  auto c = a.Center();
  EXPECT_DOUBLE_EQ(c[0], 0.5);
  EXPECT_DOUBLE_EQ(c[2], 5);
}
