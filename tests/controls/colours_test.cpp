#include "controls/colours.h"

#include <gtest/gtest.h>

namespace sonarello::controls
{
namespace
{

using gui::rgb;

TEST(ResolveColourName, ReadsHexadecimalColoursBeforeAnyTrimming)
{
    EXPECT_EQ(resolveColourName("#80FF00", 0), rgb(128, 255, 0));
    EXPECT_EQ(resolveColourName("#80FF00", 100), rgb(28, 155, 0));
    EXPECT_EQ(resolveColourName("#80ff00", 200), rgb(0, 55, 0));
    EXPECT_EQ(resolveColourName("#FF0000 and more", 0), rgb(255, 0, 0));
    EXPECT_EQ(resolveColourName(" #FF0000", 0), rgb(0, 0, 0));
    EXPECT_EQ(resolveColourName("#FF", 0), rgb(255, 0, 0)); // missing pairs read 0
    EXPECT_EQ(resolveColourName("#102030", -300), rgb(255, 255, 255));
}

TEST(ResolveColourName, NonHexDigitsReadZeroForTheirPairOnly)
{
    EXPECT_EQ(resolveColourName("#GG8040", 0), rgb(0, 128, 64));
    EXPECT_EQ(resolveColourName("#80 040", 0), rgb(128, 0, 64));
}

TEST(ResolveColourName, LooksUpNamesLowerCasedAndTrimmed)
{
    EXPECT_EQ(resolveColourName("", 0), rgb(0, 0, 0));
    EXPECT_EQ(resolveColourName("", -300), rgb(0, 0, 0));
    EXPECT_EQ(resolveColourName("  ROSSO ", 0), rgb(255, 155, 155));
    EXPECT_EQ(resolveColourName("rosso", 200), rgb(55, 0, 0));
    EXPECT_EQ(resolveColourName("verde", 55), rgb(100, 200, 100));
    EXPECT_EQ(resolveColourName("oro", 0), rgb(255, 255, 155));
    EXPECT_EQ(resolveColourName("grigio", 128), rgb(127, 127, 127));
    EXPECT_EQ(resolveColourName("blu", 0), rgb(0, 0, 0)); // a palette, not a colour name
    EXPECT_EQ(resolveColourName("rosso\t", 0), rgb(0, 0, 0));
}

TEST(ResolveColourName, ButtonColoursStaySaturatedForSmallDarkening)
{
    EXPECT_EQ(resolveColourName("pulsanteoro", 0), rgb(255, 255, 55));
    EXPECT_EQ(resolveColourName("pulsanteoro", 128), rgb(255, 182, 55));
    EXPECT_EQ(resolveColourName("pulsanteoro", 255), rgb(155, 55, 55));
    EXPECT_EQ(resolveColourName("pulsantegrigio", 200), rgb(210, 210, 210));
    EXPECT_EQ(resolveColourName("pulsanterosso", 100), rgb(255, 110, 110));
    EXPECT_EQ(resolveColourName("pulsanteverde", 0), rgb(210, 255, 210));
    EXPECT_EQ(resolveColourName("pulsanteblu", 0), rgb(0, 0, 0));
    EXPECT_EQ(resolveColourName("pulsanteblu", 255), rgb(55, 155, 155));
}

TEST(PaletteColour, GivesTheLampGradients)
{
    EXPECT_EQ(paletteColour("verdino", 13, -5, 100), rgb(0, 135, 0));
    EXPECT_EQ(paletteColour("", 13, -5, 100), rgb(0, 135, 0));
    EXPECT_EQ(paletteColour("rosso", 13, 0, 100), rgb(200, 0, 0));
    EXPECT_EQ(paletteColour("ROSSO", 13, -5, 100), rgb(135, 0, 0));
    EXPECT_EQ(paletteColour(" rosso", 13, 0, 100), rgb(0, 0, 0));
    EXPECT_EQ(paletteColour("giallo", 13, 0, 100), rgb(0, 0, 0));
    EXPECT_EQ(paletteColour("blu-scuro", 2, 10, 50), rgb(20, 20, 120));
    EXPECT_EQ(paletteColour("rosso-arancio", 2, 10, 5), rgb(50, 60, 20));
    EXPECT_EQ(paletteColour("blu-bianco", 2, 3, 10), rgb(20, 30, 60));
}

TEST(PaletteColour, SemaforoTreatsZeroDivisorsAsZero)
{
    EXPECT_EQ(paletteColour("semaforo", 2, 5, 10), rgb(255, 50, 1));
    EXPECT_EQ(paletteColour("semaforo", 2, 0, 10), rgb(0, 0, 0));
    EXPECT_EQ(paletteColour("semaforo", 2, 5, 0), rgb(0, 0, 0));
}

TEST(PaletteColour, ExtremeArgumentsClampWithoutOverflow)
{
    EXPECT_EQ(paletteColour("verdino", 2147483647, 2147483647, 1e30f), rgb(1, 255, 1));
    EXPECT_EQ(paletteColour("rosso", -2147483647 - 1, -1, -1e30f), rgb(0, 0, 0));
}

} // namespace
} // namespace sonarello::controls
