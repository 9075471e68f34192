// SPDX-License-Identifier: MIT
// Korvaloop art generator.
//
// Every picture the game ships is drawn here in code, so the art can be
// regenerated, diffed and tweaked alongside the level numbers instead of
// living only as opaque binaries. Run it through ./redraw.
//
// Usage: artgen <output-folder>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRect>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

namespace {

// ---------------------------------------------------------------------------
// Level layout. The game has no collision geometry: it walks, climbs and
// kills by these exact numbers, so the picture has to agree with them.
// Change a number here only together with the matching one in src/.
// ---------------------------------------------------------------------------
namespace level {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// Row of the top grass pixel of each floor, top to bottom. A sprite standing
// on a floor has its feet on this row.
constexpr std::array kFloorSurfaces{53, 117, 207, 302, 394, 479};
constexpr int kBottomFloorSurface = kFloorSurfaces.back();

// Floors above the bottom one are slabs hanging down from their surface.
constexpr int kSlabThickness = 10;
// The bottom floor's surface is the last pixel row, so its grass is drawn as
// a band that ends there; sprites standing on it sink a little into it.
constexpr int kBottomBandTop = 472;

struct Ladder {
    int left;         // first column of the left rail
    int right;        // last column of the right rail
    int upperSurface; // floor the ladder climbs to
    int lowerSurface; // floor the ladder stands on
};

// Spans are the union of every climbing column plus the 34 px sprite width.
constexpr std::array kLadders{
    Ladder{368, 417, 394, 479}, Ladder{120, 169, 302, 394}, Ladder{536, 585, 207, 302},
    Ladder{208, 249, 117, 207}, Ladder{384, 425, 53, 117},
};
// Ladders poke out above the floor they lead to, so the exit reads as one.
constexpr int kLadderOvershoot = 5;

// Deadly strip of the bottom floor (inclusive).
constexpr QRect kLava{QPoint{200, 468}, QPoint{263, 479}};

// The home the players run back to; its doorway is where a sprite at x = 8
// on the top floor stands.
constexpr QRect kHouse{QPoint{0, 4}, QPoint{46, 52}};

// The game paints its own status panel and door bar here; keep it plain sky
// so nothing competes with them.
constexpr QRect kGameOverlay{QPoint{47, 17}, QPoint{79, 48}};
static_assert(kHouse.right() < kGameOverlay.left());
static_assert(kHouse.bottom() + 1 == kFloorSurfaces.front());

} // namespace level

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// Cheap integer hash: decorative scatter must come out identical on every
// run, and std:: distributions are not guaranteed to across library versions.
constexpr std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t salt = 0)
{
    std::uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA6Bu ^ salt * 0xC2B2AE35u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

void dot(QPainter& p, int x, int y, const QColor& c)
{
    p.fillRect(x, y, 1, 1, c);
}

void hline(QPainter& p, int x0, int x1, int y, const QColor& c)
{
    p.fillRect(x0, y, x1 - x0 + 1, 1, c);
}

void box(QPainter& p, int x0, int y0, int x1, int y1, const QColor& c)
{
    p.fillRect(QRect{QPoint{x0, y0}, QPoint{x1, y1}}, c);
}

// Ellipse with hard edges, filled pixel by pixel so the stair-stepping is
// symmetric and identical on every platform (QPainter's aliased ellipses are
// not quite either).
void blob(QPainter& p, double cx, double cy, double rx, double ry, const QColor& c)
{
    for (int y = static_cast<int>(cy - ry) - 1; y <= static_cast<int>(cy + ry) + 1; ++y) {
        for (int x = static_cast<int>(cx - rx) - 1; x <= static_cast<int>(cx + rx) + 1; ++x) {
            const double dx = (x - cx) / rx;
            const double dy = (y - cy) / ry;
            if (dx * dx + dy * dy < 1.0)
                dot(p, x, y, c);
        }
    }
}

// ---------------------------------------------------------------------------
// Pixel-art sprites
//
// Sprites are typed in as character maps: one character per pixel, '.' for
// transparent. That keeps every pixel deliberate and lets a sprite be edited
// by eye right here in the source.
// ---------------------------------------------------------------------------

struct Ink {
    char key;
    QColor colour;
    // Sparkles and glints float free of the figure; an outline would turn
    // them into dark smudges.
    bool outlined = true;
};

using Rows = std::span<const std::string_view>;
using Palette = std::span<const Ink>;

const Ink* findInk(Palette palette, char key)
{
    const auto it = std::ranges::find(palette, key, &Ink::key);
    return it == palette.end() ? nullptr : &*it;
}

// A one pixel dark rim keeps sprites readable against any part of the level.
// Taking the rim colour from the darkest neighbour (rather than one black)
// keeps gold looking like gold and skin like skin at the edges.
QColor rimFor(const QColor& neighbour)
{
    const QColor hsv = neighbour.toHsv();
    const int saturation = std::min(255, hsv.hsvSaturation() + 60);
    const int value = hsv.value() * 28 / 100;
    return QColor::fromHsv(std::max(0, hsv.hsvHue()), saturation, value);
}

// Renders a character map at `scale` screen pixels per art pixel and wraps
// the figure in its outline. Fails loudly on a malformed map: a silently
// shifted row would be very hard to spot in the game.
std::optional<QImage> renderPixelArt(const char* name, Rows rows, int width, Palette palette,
                                     int scale = 1)
{
    const int height = static_cast<int>(rows.size());
    for (int y = 0; y < height; ++y) {
        if (static_cast<int>(rows[y].size()) != width) {
            std::fprintf(stderr, "artgen: %s row %d is %zu wide, expected %d\n", name, y,
                         rows[y].size(), width);
            return std::nullopt;
        }
        for (const char key : rows[y]) {
            if (key != '.' && !findInk(palette, key)) {
                std::fprintf(stderr, "artgen: %s row %d uses unknown colour '%c'\n", name, y, key);
                return std::nullopt;
            }
        }
    }

    auto inkAt = [&](int x, int y) -> const Ink* {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return nullptr;
        return rows[y][x] == '.' ? nullptr : findInk(palette, rows[y][x]);
    };

    QImage image(width * scale, height * scale, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::optional<QColor> colour;
            if (const Ink* ink = inkAt(x, y)) {
                colour = ink->colour;
            } else {
                const Ink* darkest = nullptr;
                for (const auto& [dx, dy] : {std::pair{0, -1}, {-1, 0}, {1, 0}, {0, 1}}) {
                    const Ink* n = inkAt(x + dx, y + dy);
                    if (n && n->outlined &&
                        (!darkest || n->colour.value() < darkest->colour.value()))
                        darkest = n;
                }
                if (darkest)
                    colour = rimFor(darkest->colour);
            }
            if (colour)
                p.fillRect(x * scale, y * scale, scale, scale, *colour);
        }
    }
    return image;
}

// ---------------------------------------------------------------------------
// Player one: a boy in a red cap, sunny shirt and blue dungarees.
// ---------------------------------------------------------------------------

constexpr int kGuyWidth = 34;
// clang-format off
constexpr std::array<std::string_view, 35> kGuyRows{
    "..................................",
    "............RRRRRRRRR.............",
    "..........RRRRRRRRRRRRR...........",
    ".........RRhhRRRRRRRRRRR..........",
    "........RRhhRRRRRRRRRRRRR.........",
    "........RRRRRRRRRRRRRRRRRR........",
    "........rrrrrrrrrrrrrrrrrrrrrr....",
    ".........HHHHHHHHHHHqqqqqqqqqq....",
    "........HHHHHHHHSHHHSSSSSS........",
    "........HHHHSSSSSSSSSWKSSS........",
    "........HHHssSSSSSSSSWKSSSS.......",
    "........HHHspSSSSSSSSWKSSSSS......",
    "........HHHssSSSSSSSSSSSSSSS......",
    ".........HHSSSSSSSkkSSSSmSs.......",
    ".........HHSSSSSSSSSSSmmSSs.......",
    "..........HSSSSSSSSSSSSSSs........",
    "............sssSSSSSSSss..........",
    "..........CCCBBCCCCCCBBCCC........",
    ".........CCCCBBCCCCCCBBCCCC.......",
    "........CCCCCBYBBBBBBYBCCCCC......",
    "........CCcCCBBBBBBBBBBCCcCC......",
    "........CCc.bBBBBBBBBBBB.CcC......",
    "........SSS.bBBBBllBBBBB.SSS......",
    "........SSs.bBBBBllBBBBB.SSs......",
    ".........s..bBBBBBBBBBBB..s.......",
    "............bBBBBBBBBBBB..........",
    "............bBBBBbbBBBBB..........",
    "............bBBBBb.bBBBB..........",
    "............bBBBB...BBBBB.........",
    "............bBBBB...BBBBB.........",
    "............bbbbb...bbbbb.........",
    "...........NNNNNN...NNNNNNN.......",
    "...........NNNNNNN..NNNNNNNN......",
    "...........nnnnnnn..nnnnnnnn......",
    "..................................",
};
// clang-format on

const std::array kGuyInks{
    Ink{'R', QColor(0xe2, 0x3b, 0x2e)}, // cap
    Ink{'h', QColor(0xff, 0x86, 0x66)}, // cap shine
    Ink{'r', QColor(0xb0, 0x22, 0x1a)}, // peak
    Ink{'q', QColor(0x7c, 0x18, 0x14)}, // underside of the peak
    Ink{'S', QColor(0xf7, 0xc7, 0x9c)}, // skin
    Ink{'s', QColor(0xd9, 0x95, 0x6b)}, // skin in shadow
    Ink{'p', QColor(0xe8, 0xa8, 0x7e)}, // nose shading
    Ink{'H', QColor(0x6a, 0x3a, 0x1c)}, // hair
    Ink{'W', QColor(0xff, 0xff, 0xff)}, // eye white
    Ink{'K', QColor(0x1e, 0x14, 0x20)}, // pupil
    Ink{'k', QColor(0xf5, 0x9c, 0x8c)}, // rosy cheek
    Ink{'m', QColor(0xa8, 0x34, 0x2c)}, // smile
    Ink{'C', QColor(0xff, 0xcf, 0x3a)}, // shirt
    Ink{'c', QColor(0xd9, 0x9a, 0x1c)}, // shirt fold
    Ink{'B', QColor(0x35, 0x66, 0xd6)}, // dungarees
    Ink{'b', QColor(0x23, 0x44, 0x9a)}, // dungarees in shadow
    Ink{'l', QColor(0x6b, 0x96, 0xf2)}, // pocket
    Ink{'Y', QColor(0xff, 0xf4, 0xc0)}, // buttons
    Ink{'N', QColor(0x7a, 0x43, 0x1e)}, // shoes
    Ink{'n', QColor(0x3d, 0x20, 0x0e)}, // soles
};

// ---------------------------------------------------------------------------
// Player two: a boxy tin robot, deliberately unlike the boy in both outline
// (antenna, square head) and colour (steel, cyan, orange) so two players can
// tell themselves apart mid-jump.
// ---------------------------------------------------------------------------

constexpr int kRobotWidth = 35;
// clang-format off
constexpr std::array<std::string_view, 38> kRobotRows{
    "...................................",
    "...............OOO.................",
    "..............OOOeO................",
    "...............OOo.................",
    "................D..................",
    "................D..................",
    "..........MMMMMMMMMMMMMMMMM........",
    ".........MhhMMMMMMMMMMMMMMMm.......",
    ".........MhMMMMMMMMMMMMMMMMm.......",
    ".........MMMMMVVVVVVVVVVVVVm.......",
    ".......OOMMMMVVVVVVVVVEEeVVm.......",
    ".......OoMMMMVVVVVVVVVEEEVVm.......",
    ".......OoMMMMVVVVVVVVVEEEVVm.......",
    ".......OOMMMMVVVVVVVVVVVVVVm.......",
    ".........MMMMMVVVVVVVVVVVVVm.......",
    ".........MMMMMMMMMMMMMMMMMMm.......",
    ".........MMMMMMMMMDMDMDMDMMm.......",
    ".........mMMMMMMMMMMMMMMMMmm.......",
    "..........mmmmmmmmmmmmmmmmm........",
    "..............DDDDDDDDD............",
    ".........MMMMMMMMMMMMMMMMMMm.......",
    "......MM.MhMMMMMMMMMMMMMMMMm.MMm...",
    ".....MMm.MhMMVVVVVVVVVVMMMMm.MMm...",
    ".....MMm.MMMMVOOVEVEVEVMMMMm.MMm...",
    ".....DDD.MMMMVOOVVVVVVVMMMMm.DDD...",
    ".....MMm.MMMMVVVVVVVVVVMMMMm.MMm...",
    ".....MMm.MMMMMMMMMMMMMMMMMMm.MMm...",
    ".....MMm.mMMMMMMMMMMMMMMMMmm.MMm...",
    "....DDDD..mmmmmmmmmmmmmmmmm..DDDD..",
    "....D..D....DDDD....DDDD.....D..D..",
    "............mmmm....mmmm...........",
    "............MMMm....MMMm...........",
    "............DDDD....DDDD...........",
    "............MMMm....MMMm...........",
    "..........OOOOOOOO..OOOOOOOOO......",
    "..........OOOOOOOOO.OOOOOOOOOO.....",
    "..........oooooooo..ooooooooo......",
    "...................................",
};
// clang-format on

const std::array kRobotInks{
    Ink{'M', QColor(0xc9, 0xd6, 0xe3)}, // tin plate
    Ink{'m', QColor(0x87, 0x97, 0xab)}, // plate in shadow
    Ink{'h', QColor(0xf6, 0xfa, 0xff)}, // shine
    Ink{'D', QColor(0x4b, 0x5a, 0x6e)}, // joints, grille
    Ink{'V', QColor(0x1b, 0x26, 0x38)}, // visor glass
    Ink{'E', QColor(0x52, 0xea, 0xff)}, // glowing eye
    Ink{'e', QColor(0xe0, 0xff, 0xff)}, // eye glint
    Ink{'O', QColor(0xff, 0x8a, 0x1e)}, // orange trim
    Ink{'o', QColor(0xc2, 0x5a, 0x0c)}, // orange in shadow
};

// ---------------------------------------------------------------------------
// Frimsel: the fluffy creature guarding the level's golden key. The key is
// oversized on purpose; it is the thing the player has to notice and grab.
// ---------------------------------------------------------------------------

const std::array kFrimselInks{
    Ink{'P', QColor(0xa8, 0x74, 0xf2)},        // fur
    Ink{'p', QColor(0x74, 0x46, 0xc4)},        // fur in shadow
    Ink{'L', QColor(0xd8, 0xc2, 0xff)},        // tummy, shine
    Ink{'c', QColor(0xff, 0x8f, 0xc0)},        // cheeks, inner ears
    Ink{'K', QColor(0x24, 0x12, 0x2e)},        // eyes
    Ink{'W', QColor(0xff, 0xff, 0xff)},        // eye shine
    Ink{'w', QColor(0xc8, 0xb4, 0xff)},        // eye reflection
    Ink{'m', QColor(0x4a, 0x1c, 0x40)},        // mouth
    Ink{'G', QColor(0xff, 0xcb, 0x2b)},        // gold
    Ink{'g', QColor(0xd0, 0x84, 0x10)},        // gold in shadow
    Ink{'Y', QColor(0xff, 0xf2, 0x8a)},        // gold shine
    Ink{'x', QColor(0xff, 0xff, 0xff), false}, // sparkle core
    Ink{'+', QColor(0xff, 0xf0, 0x9a), false}, // sparkle rays
};

constexpr int kKeyWidth = 54;
// clang-format off
constexpr std::array<std::string_view, 41> kKeyRows{
    "......................................................",
    "......................................................",
    "......................................................",
    "...............P...............P......................",
    "..............pcP.............PcP.....................",
    ".............ppcPP...........PPcPP....................",
    ".............pcccP...........PcccP....................",
    ".............pcccP...........PcccP....................",
    "............ppcccPP.PPPPPPP.PPcccPP...................",
    ".............ppcPPPPPPPPPPPPPPPcPP....................",
    ".............ppcPPPPPPPPPPPPPPPcPP......+.............",
    ".............ppLLLLPPPPPPPPPPPPPPP.....+x+............",
    "..............pLLLLPPPPPPPPPPPPPP.......+.............",
    ".............pLPPPPPPPPPPPPPPPPPPP...............+....",
    "............ppPPPPPPPPPPPPPPPPPPPPP.............+x+...",
    "............ppPPPKKKPPPPPPPKKKPPPPP..............+....",
    "...........ppPPPKWWKKPPPPPKWWKKPPPPP..................",
    "...+.......ppPPPKWKKKPPPPPKWKKKPPPPP..................",
    "..+x+......pPPPPKKKKKPPPPPKKKKKPPPPP..................",
    "...+......ppPPPPKKKKKPPLPPKKKKKPPPPPP......YYGGG......",
    "..........ppPPPPKKKwKLLLLLKKKwKPPPPPP....YYYYGGGGG....",
    "..........ppPPccPKKKLLLLLLLKKKPccPPPP...YYYGGGGGGGG...",
    "..........ppPPccPLLLLLmLmLLLLLPccPPPP..YYGGGGGGGGGGG..",
    "..........ppPPPPLLLLLLLmLLLLLLLPPPPPP..YYGGGGGGGGGGG..",
    "..........ppPPPPLLLLLLLLLLLLLLLPPPPPYggYGGGG...GGGGGG.",
    "..........ppPPPLLLLLLLLLLLLLLLLLPPPpYggYGGG.....GGGGG.",
    ".....YYYYYYYYLPPYYYYYYYYYYYYYLPPYYYYYggYGG.......GGGG.",
    ".....GGGGGGGPPPPPGGGGGGGGGGGPPPPPGGGYggGGG.......GGGg.",
    ".....GGGGGGGPPPPPGGGGGGGGGGGPPPPPGGGYggGGG.......GGGg.",
    ".....ggggggggPPPgggggggggggggPPPggggYggGGGG.....GGGGg.",
    ".....GGGg..GGgPPLLLLLLLLLLLLLLLPPpp.YggGGGGG...GGGGgg.",
    ".....GGGg..GGgpPLLLLLLLLLLLLLLLPpp..YggGGGGGGGGGGGGg..",
    ".....GGGg..GGgppPLLLLLLLLLLLLLPpp......GGGGGGGGGGGgg..",
    ".....GGGg..ggg.pppLLLLLLLLLLLppp........GGGGGGGGGgg...",
    ".....GGGg.......pppLLLLLLLLLppp..........GGGGGGggg....",
    ".....gggg.........pppppLppppp..............GGGGg......",
    "..............PPPPPPpppppppPPPPPP.....................",
    ".............PPPPPPPP.....PPPPPPPP....................",
    ".............PPpPPpPP.....PPpPPpPP....................",
    "..............pppppp.......pppppp.....................",
    "......................................................",
};
// clang-format on

// The icon is Frimsel's face in front of the key, drawn on a 32 px grid and
// blown up 8x: big flat shapes survive being shrunk to taskbar size.
constexpr int kIconGrid = 32;
constexpr int kIconScale = 8;
// clang-format off
constexpr std::array<std::string_view, 32> kIconRows{
    "................................",
    ".......PP...........PP..........",
    "......PPPP.........PPPP.........",
    "......PccP.........PccP.........",
    "......PccP.........PccP.........",
    "......PccP..PPPPP..PccP.........",
    "......PccPPPPPPPPPPPccP.........",
    "......PPPPPPPPPPPPPPPPP.....+...",
    "..+...PLLLPPPPPPPPPPPPP....+x+..",
    ".+x+.PLPPPPPPPPPPPPPPPPP....+...",
    "..+.pPPPPPPPPPPPPPPPPPPPP.......",
    "....pPPPPWKKPPPPPWKKPPPPP.......",
    "...ppPPPPWKKPPPPPWKKPPPPPP......",
    "...ppPPPPKKKPPPPPKKKPPPPPP......",
    "...ppPPPPKKKPPPPPKKKPPPPPP......",
    "...ppPPPPKKwPPPPPKKwPPPPPP......",
    "...ppccPPPPLLLLLLLPPPPccPP......",
    "...ppccPPLLLLmLmLLLLPPccGG......",
    "...ppPPPLLLLLLmLLLLLLPYYGGGG....",
    "....ppPPLLLLLLLLLLLLLYYGGGGGG...",
    "....ppPLLLLLLLLLLLLLYYGGGGGGGG..",
    ".....ppPLLLLLLLLLLLLYGGG..GGGG..",
    ".YYYYYYLPPYYYYYYLPPYYGG....GGGG.",
    ".GGGGGGPPPGGGGGGPPPGGGG....GGGG.",
    ".GGGGGGPPPGGGGGGPPPGGGG....GGgg.",
    ".ggggggPPPggggggPPPGGGG....GGgg.",
    ".GGGGggGGG..........GGGG..GGGg..",
    ".GGGG..GGG..........GGGGGGGGgg..",
    ".GGGG..ggg...........GGGGGGgg...",
    ".gggg.................GGGggg....",
    "........................Gg......",
    "................................",
};
// clang-format on

// ---------------------------------------------------------------------------
// Background
// ---------------------------------------------------------------------------

namespace palette {
const QColor kSkyTop(0x6c, 0xc0, 0xee);
const QColor kSkyBottom(0xd2, 0xf0, 0xfb);
const QColor kCloud(0xff, 0xff, 0xff);
const QColor kCloudShade(0xd6, 0xe9, 0xf5);
const QColor kFarHill(0xb0, 0xd8, 0xea);
const QColor kNearHill(0x94, 0xc4, 0xda);
const QColor kFarHillRim(0xd0, 0xea, 0xf4);
const QColor kNearHillRim(0xba, 0xdc, 0xea);

// Floors: saturated leaf green on top, a deep moss body underneath.
const QColor kGrassShine(0xa8, 0xee, 0x5e);
const QColor kGrass(0x5a, 0xc6, 0x3a);
const QColor kGrassDark(0x3b, 0x9a, 0x30);
const QColor kEarth(0x2c, 0x74, 0x30);
const QColor kEarthLight(0x3a, 0x88, 0x3a);
const QColor kEarthDark(0x22, 0x5c, 0x28);
const QColor kSlabShadow(0x18, 0x44, 0x1e);
const QColor kHatch(0x12, 0x33, 0x16);
const QColor kPollen(0xff, 0xb0, 0x2a);

// Ladders: a yellowish lime, far enough from the floor green to stand out.
const QColor kLadderEdge(0x2a, 0x4e, 0x14);
const QColor kLadderShine(0xe6, 0xff, 0xa0);
const QColor kLadder(0xb8, 0xea, 0x4c);
const QColor kLadderShade(0x82, 0xb6, 0x2c);

const QColor kLavaDeep(0xc8, 0x26, 0x10);
const QColor kLava(0xff, 0x6a, 0x14);
const QColor kLavaHot(0xff, 0xb0, 0x2a);
const QColor kLavaCrust(0xff, 0xe8, 0x6a);
const QColor kRock(0x5a, 0x48, 0x44);
const QColor kRockLight(0x80, 0x6c, 0x62);
const QColor kRockDark(0x34, 0x28, 0x26);

const QColor kRoof(0xd2, 0x5e, 0x3c);
const QColor kRoofShade(0xa4, 0x42, 0x2a);
const QColor kRoofEdge(0x4a, 0x1e, 0x16);
const QColor kBrick(0xb2, 0x50, 0x3a);
const QColor kWall(0xf6, 0xe6, 0xc0);
const QColor kWallShade(0xd8, 0xc0, 0x90);
const QColor kTimber(0x8a, 0x56, 0x30);
const QColor kTimberDark(0x4e, 0x2c, 0x16);
const QColor kStone(0xa4, 0x9e, 0x98);
const QColor kStoneDark(0x6e, 0x68, 0x64);
const QColor kGlow(0xff, 0xe0, 0x78);
const QColor kGlowMid(0xff, 0xc6, 0x58);
const QColor kGlowDeep(0xff, 0xa4, 0x36);
} // namespace palette

void drawSky(QPainter& p)
{
    QLinearGradient gradient(0, 0, 0, level::kHeight);
    gradient.setColorAt(0.0, palette::kSkyTop);
    gradient.setColorAt(1.0, palette::kSkyBottom);
    p.fillRect(0, 0, level::kWidth, level::kHeight, gradient);
}

// Puffy cloud `width` px wide whose flat base sits on row `baseY`.
void drawCloud(QPainter& p, int left, int baseY, int width)
{
    const double w = width;
    auto puffs = [&](int dy, const QColor& c) {
        blob(p, left + w * 0.50, baseY - 4 + dy, w * 0.50, 4.5, c);
        blob(p, left + w * 0.32, baseY - 7 + dy, w * 0.20, w * 0.16, c);
        blob(p, left + w * 0.60, baseY - 9 + dy, w * 0.24, w * 0.22, c);
        blob(p, left + w * 0.80, baseY - 5 + dy, w * 0.14, w * 0.11, c);
    };
    // Flat, slightly shaded underside: clouds rest on a level like the floors.
    p.save();
    p.setClipRect(QRect{QPoint{left - width, 0}, QPoint{left + 2 * width, baseY}});
    puffs(1, palette::kCloudShade);
    puffs(0, palette::kCloud);
    p.restore();
    hline(p, left + 3, left + width - 4, baseY, palette::kCloudShade);
}

struct Cloud {
    int left, baseY, width;
};

// Generous bounding box of drawCloud(): nothing may drift into the spot the
// game keeps for its own panel.
constexpr bool clearOfGameOverlay(const Cloud& c)
{
    const QRect& o = level::kGameOverlay;
    const int top = c.baseY - (10 + c.width / 4);
    return c.left > o.right() || c.left + c.width < o.left() || c.baseY < o.top() ||
           top > o.bottom();
}

void drawClouds(QPainter& p)
{
    // One or two per band of sky.
    constexpr std::array kClouds{
        Cloud{126, 30, 46},  Cloud{270, 40, 30},  Cloud{506, 32, 56},  Cloud{40, 100, 38},
        Cloud{548, 96, 44},  Cloud{296, 160, 52}, Cloud{468, 186, 32}, Cloud{24, 258, 40},
        Cloud{330, 272, 58}, Cloud{236, 352, 40}, Cloud{452, 366, 46},
    };
    static_assert(std::ranges::all_of(kClouds, clearOfGameOverlay));
    for (const auto& c : kClouds)
        drawCloud(p, c.left, c.baseY, c.width);
}

// Soft blue hills in the lowest band give the ground floor some depth without
// competing with anything the player has to read.
void drawHills(QPainter& p)
{
    const int base = level::kBottomBandTop;
    struct Hill {
        double centre, halfWidth, height;
    };
    constexpr std::array kFar{Hill{60, 120, 50}, Hill{300, 150, 40}, Hill{560, 130, 56}};
    constexpr std::array kNear{Hill{170, 110, 28}, Hill{440, 120, 34}, Hill{660, 90, 24}};
    // Each hill gets a one pixel sunlit rim by drawing it slightly larger in
    // a paler tone first.
    auto hills = [&](std::span<const Hill> range, const QColor& rim, const QColor& body) {
        for (const auto& h : range) {
            blob(p, h.centre, base, h.halfWidth + 1, h.height + 1, rim);
            blob(p, h.centre, base, h.halfWidth, h.height, body);
        }
    };
    hills(kFar, palette::kFarHillRim, palette::kFarHill);
    hills(kNear, palette::kNearHillRim, palette::kNearHill);
}

// Earth texture shared by slabs and the ground band: scattered pebbles so a
// long floor does not look like a flat stripe.
void drawEarth(QPainter& p, int top, int bottom)
{
    box(p, 0, top, level::kWidth - 1, bottom, palette::kEarth);
    for (int y = top; y <= bottom; ++y) {
        for (int x = 0; x < level::kWidth; ++x) {
            const std::uint32_t h = hash(x, y, 1) % 64;
            if (h == 0 && x + 2 < level::kWidth) {
                hline(p, x, x + 2, y, palette::kEarthLight);
            } else if (h == 1) {
                dot(p, x, y, palette::kEarthDark);
            }
        }
    }
}

// Bright grass lip with a ragged fringe hanging into the earth below it.
void drawGrass(QPainter& p, int surface)
{
    hline(p, 0, level::kWidth - 1, surface, palette::kGrassShine);
    box(p, 0, surface + 1, level::kWidth - 1, surface + 2, palette::kGrass);
    for (int x = 0; x < level::kWidth; ++x) {
        const std::uint32_t h = hash(x, surface, 2) % 5;
        if (h < 2)
            dot(p, x, surface + 3, palette::kGrass);
        else if (h == 2)
            dot(p, x, surface + 3, palette::kGrassDark);
        if (h == 0)
            dot(p, x, surface + 4, palette::kGrassDark);
        if (hash(x, surface, 3) % 9 == 0)
            dot(p, x, surface + 1, palette::kGrassShine);
    }
}

void drawFloor(QPainter& p, int surface)
{
    const int bottom = surface + level::kSlabThickness - 1;
    drawEarth(p, surface + 3, bottom - 1);
    hline(p, 0, level::kWidth - 1, bottom, palette::kSlabShadow);
    drawGrass(p, surface);
    // A faint shadow under the slab lifts it off the sky.
    p.fillRect(0, bottom + 1, level::kWidth, 1, QColor(0, 40, 60, 40));
}

void drawBottomFloor(QPainter& p)
{
    drawEarth(p, level::kBottomBandTop + 3, level::kHeight - 1);
    drawGrass(p, level::kBottomBandTop);
}

// Tiny flowers on the floors: pure decoration, placed away from ladders, the
// house, the lava and the key so they never hide anything that matters.
void drawFlowers(QPainter& p)
{
    struct Flower {
        int x, surface;
        QColor petals;
    };
    const QColor white(0xff, 0xff, 0xff), pink(0xff, 0x8c, 0xc8), yellow(0xff, 0xe0, 0x40),
        red(0xf0, 0x40, 0x40);
    const std::array flowers{
        Flower{136, 53, white},
        Flower{300, 53, pink},
        Flower{566, 53, yellow},
        Flower{94, 117, pink},
        Flower{330, 117, yellow},
        Flower{604, 117, white},
        Flower{150, 207, red},
        Flower{424, 207, white},
        Flower{262, 302, yellow},
        Flower{470, 302, pink},
        Flower{44, 394, white},
        Flower{298, 394, red},
        Flower{604, 394, yellow},
        Flower{84, level::kBottomBandTop, pink},
        Flower{520, level::kBottomBandTop, white},
        Flower{612, level::kBottomBandTop, red},
    };
    for (const auto& f : flowers) {
        box(p, f.x, f.surface - 3, f.x, f.surface - 1, palette::kGrassDark);
        dot(p, f.x + 1, f.surface - 2, palette::kGrass);
        dot(p, f.x - 1, f.surface - 5, f.petals);
        dot(p, f.x + 1, f.surface - 5, f.petals);
        dot(p, f.x, f.surface - 6, f.petals);
        dot(p, f.x, f.surface - 4, f.petals);
        dot(p, f.x, f.surface - 5, palette::kPollen);
    }
}

void drawLadder(QPainter& p, const level::Ladder& ladder)
{
    const int top = ladder.upperSurface - level::kLadderOvershoot;
    const int bottom = ladder.lowerSurface - 1;
    const int innerLeft = ladder.left + 4;
    const int innerRight = ladder.right - 4;

    // The ladder climbs through a hatch cut into the floor above, so its top
    // reads as a way up rather than a decoration stuck on the slab.
    box(p, innerLeft, ladder.upperSurface, innerRight,
        ladder.upperSurface + level::kSlabThickness - 1, palette::kHatch);

    // Rungs every 8 px counted up from the foot, so the bottom rung always
    // sits a comfortable step above the floor.
    for (int y = bottom - 6; y >= top + 2; y -= 8) {
        hline(p, innerLeft, innerRight, y - 1, palette::kLadderEdge);
        hline(p, innerLeft, innerRight, y, palette::kLadderShine);
        hline(p, innerLeft, innerRight, y + 1, palette::kLadder);
        hline(p, innerLeft, innerRight, y + 2, palette::kLadderEdge);
    }

    auto rail = [&](int x) {
        box(p, x, top, x + 3, bottom, palette::kLadderEdge);
        box(p, x + 1, top + 1, x + 1, bottom, palette::kLadderShine);
        box(p, x + 2, top + 1, x + 2, bottom, palette::kLadderShade);
    };
    rail(ladder.left);
    rail(ladder.right - 3);
}

// A tapering tongue of fire, `height` px tall, standing on row `base`:
// red rim, orange body, yellow core.
void drawFlame(QPainter& p, int x, int base, int height)
{
    for (int i = 0; i < height; ++i) {
        const int y = base - 1 - i;
        const int half = (height - i + 1) / 3;
        hline(p, x - half - 1, x + half + 1, y, palette::kLavaDeep);
        hline(p, x - half, x + half, y, palette::kLava);
        if (i < height / 2)
            hline(p, x - half / 2, x + half / 2, y, palette::kLavaHot);
        if (i < height / 3)
            dot(p, x, y, palette::kLavaCrust);
    }
    dot(p, x, base - height - 1, palette::kLava);
}

void drawLava(QPainter& p)
{
    const QRect& pit = level::kLava;
    const int surface = level::kBottomBandTop + 1;

    // Rocky rims cut the grass band so the pit has clear edges.
    for (const int x0 : {pit.left(), pit.right() - 3}) {
        box(p, x0, surface - 2, x0 + 3, pit.bottom(), palette::kRock);
        hline(p, x0, x0 + 3, surface - 2, palette::kRockLight);
        box(p, x0 + 1, surface + 2, x0 + 2, surface + 3, palette::kRockLight);
        box(p, x0, pit.bottom() - 1, x0 + 3, pit.bottom(), palette::kRockDark);
    }

    const int left = pit.left() + 4;
    const int right = pit.right() - 4;
    box(p, left, surface, right, pit.bottom(), palette::kLava);
    box(p, left, pit.bottom() - 2, right, pit.bottom(), palette::kLavaDeep);
    // A rolling crust line; a fixed wave keeps the output reproducible.
    constexpr std::array kWave{0, 0, 1, 1, 1, 0, 0, -1, -1, -1};
    for (int x = left; x <= right; ++x) {
        const int y = surface + 1 + kWave[x % kWave.size()];
        dot(p, x, y, palette::kLavaCrust);
        dot(p, x, y + 1, palette::kLavaHot);
        if (hash(x, 0, 4) % 7 == 0)
            dot(p, x, y + 3, palette::kLavaHot);
    }

    // Flames licking up from the pool make it read as deadly from across
    // the screen; bubbles and embers keep it from looking like a flat stripe.
    struct Flame {
        int x, height;
    };
    constexpr std::array kFlames{Flame{209, 6}, Flame{221, 9}, Flame{229, 5}, Flame{243, 8},
                                 Flame{255, 5}};
    for (const auto& f : kFlames)
        drawFlame(p, f.x, surface, f.height);
    struct Bubble {
        int x, y, r;
    };
    constexpr std::array kBubbles{Bubble{215, 471, 2}, Bubble{236, 471, 2}, Bubble{250, 472, 1}};
    for (const auto& b : kBubbles) {
        blob(p, b.x, b.y, b.r + 0.5, b.r + 0.5, palette::kLavaDeep);
        blob(p, b.x, b.y, b.r - 0.3, b.r - 0.3, palette::kLavaHot);
        dot(p, b.x - 1, b.y - b.r + 1, palette::kLavaCrust);
    }
    for (const auto& [x, y] : {std::pair{216, 460}, {235, 457}, {249, 462}, {226, 453}}) {
        dot(p, x, y, palette::kLavaHot);
        dot(p, x, y + 1, palette::kLava);
    }
}

void drawHouse(QPainter& p)
{
    const QRect& house = level::kHouse;
    const int eaves = 22; // lowest roof row
    const int peakX = 23;
    const int wallLeft = house.left() + 3;
    const int wallRight = house.right() - 3;

    // Chimney first so the roof overlaps its foot; it is the one thing that
    // reaches the very top of the house.
    const int chimneyLeft = 33, chimneyRight = 38, chimneyFoot = 16;
    box(p, chimneyLeft - 1, house.top(), chimneyRight + 1, house.top() + 1, palette::kRoofEdge);
    box(p, chimneyLeft, house.top() + 2, chimneyRight, chimneyFoot, palette::kBrick);
    box(p, chimneyLeft, house.top() + 2, chimneyLeft, chimneyFoot, palette::kRoofEdge);
    box(p, chimneyRight, house.top() + 2, chimneyRight, chimneyFoot, palette::kRoofEdge);
    hline(p, chimneyLeft + 1, chimneyRight - 1, house.top() + 5, palette::kRoofShade);

    // Walls.
    box(p, wallLeft, eaves + 1, wallRight, house.bottom(), palette::kWall);
    box(p, wallLeft, eaves + 1, wallRight, eaves + 2, palette::kWallShade);
    // Corner posts, dark on their outer side so the walls look square.
    box(p, wallLeft, eaves + 1, wallLeft, house.bottom(), palette::kTimberDark);
    box(p, wallLeft + 1, eaves + 1, wallLeft + 1, house.bottom(), palette::kTimber);
    box(p, wallRight - 1, eaves + 1, wallRight - 1, house.bottom(), palette::kTimber);
    box(p, wallRight, eaves + 1, wallRight, house.bottom(), palette::kTimberDark);
    // Stone footing.
    box(p, wallLeft, house.bottom() - 3, wallRight, house.bottom(), palette::kStone);
    hline(p, wallLeft, wallRight, house.bottom() - 3, palette::kStoneDark);
    for (int x = wallLeft + 2; x < wallRight; x += 6) {
        box(p, x, house.bottom() - 2, x, house.bottom() - 1, palette::kStoneDark);
    }

    // Roof: a stepped triangle of tile rows, wider than the walls.
    int previousX0 = peakX, previousX1 = peakX;
    for (int y = house.top() + 2; y <= eaves; ++y) {
        const int halfWidth = (y - house.top() - 2) * 24 / (eaves - house.top() - 2);
        const int x0 = std::max(house.left(), peakX - halfWidth);
        const int x1 = std::min(house.right(), peakX + halfWidth);
        const bool seamRow = (y - house.top()) % 4 == 1;
        hline(p, x0, x1, y, seamRow ? palette::kRoofShade : palette::kRoof);
        if (!seamRow) {
            const int offset = ((y - house.top()) / 4) % 2 ? 2 : 0;
            for (int x = x0 + offset; x <= x1; x += 5)
                dot(p, x, y, palette::kRoofShade);
        }
        // Edge pixels bridge the whole step from the row above so the roof
        // line stays unbroken where the slope jumps two pixels at once.
        hline(p, x0, std::max(x0, previousX0 - 1), y, palette::kRoofEdge);
        hline(p, std::min(x1, previousX1 + 1), x1, y, palette::kRoofEdge);
        previousX0 = x0;
        previousX1 = x1;
    }
    dot(p, peakX, house.top() + 1, palette::kRoofEdge);
    hline(p, house.left(), house.right(), eaves, palette::kRoofEdge);

    // Lit window: someone is home.
    box(p, 33, 29, 39, 35, palette::kTimberDark);
    box(p, 34, 30, 38, 34, palette::kGlow);
    box(p, 36, 30, 36, 34, palette::kTimberDark);
    hline(p, 34, 38, 32, palette::kTimberDark);
    hline(p, 32, 40, 36, palette::kTimber);

    // Open, glowing doorway: the way home, right where a player at x = 8
    // stands on the top floor.
    const int doorLeft = 13, doorRight = 28, doorTop = 28;
    const double doorMiddle = (doorLeft + doorRight) / 2.0;
    const double doorHalf = (doorRight - doorLeft) / 2.0;
    blob(p, doorMiddle, doorTop + 7, doorHalf + 0.5, 7.5, palette::kTimberDark);
    box(p, doorLeft, doorTop + 7, doorRight, house.bottom(), palette::kTimberDark);
    blob(p, doorMiddle, doorTop + 8, doorHalf - 1.5, 6.5, palette::kGlow);
    box(p, doorLeft + 2, doorTop + 8, doorRight - 2, house.bottom() - 1, palette::kGlow);
    // Lamplight fades towards the floor in hard steps, as pixel art would.
    box(p, doorLeft + 2, house.bottom() - 9, doorRight - 2, house.bottom() - 5, palette::kGlowMid);
    box(p, doorLeft + 2, house.bottom() - 4, doorRight - 2, house.bottom() - 1, palette::kGlowDeep);
    hline(p, doorLeft - 1, doorRight + 1, house.bottom(), palette::kStoneDark);
}

QImage drawBackground()
{
    QImage image(level::kWidth, level::kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);

    drawSky(p);
    drawClouds(p);
    drawHills(p);
    for (const int surface : level::kFloorSurfaces) {
        if (surface != level::kBottomFloorSurface)
            drawFloor(p, surface);
    }
    drawBottomFloor(p);
    drawFlowers(p);
    for (const auto& ladder : level::kLadders)
        drawLadder(p, ladder);
    drawLava(p);
    drawHouse(p);
    return image;
}

// ---------------------------------------------------------------------------

bool save(const QImage& image, const QDir& folder, const char* name)
{
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "artgen: could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("  %-15s %3d x %3d\n", name, image.width(), image.height());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-folder>\n", argc > 0 ? argv[0] : "artgen");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(folder.absolutePath())) {
        std::fprintf(stderr, "artgen: cannot create %s\n", argv[1]);
        return 1;
    }

    const auto guy = renderPixelArt("guy", kGuyRows, kGuyWidth, kGuyInks);
    const auto robot = renderPixelArt("guyrm", kRobotRows, kRobotWidth, kRobotInks);
    const auto key = renderPixelArt("key", kKeyRows, kKeyWidth, kFrimselInks);
    const auto icon = renderPixelArt("icon", kIconRows, kIconGrid, kFrimselInks, kIconScale);
    // The desktop wants the icon at 48, 128 and 256 px. 128 is a whole multiple
    // of the grid; 48 is not, so it is shrunk smoothly from 96.
    const auto icon128 = renderPixelArt("icon", kIconRows, kIconGrid, kFrimselInks, 4);
    const auto icon96 = renderPixelArt("icon", kIconRows, kIconGrid, kFrimselInks, 3);
    if (!guy || !robot || !key || !icon || !icon128 || !icon96)
        return 1;

    // Sprites are drawn facing right; the left-facing frames must be exact
    // mirrors so walking left never shifts a pixel.
    const bool ok =
        save(drawBackground(), folder, "background.png") && save(*guy, folder, "guy.png") &&
        save(guy->mirrored(true, false), folder, "guyl.png") && save(*robot, folder, "guyrm.png") &&
        save(robot->mirrored(true, false), folder, "guylm.png") && save(*key, folder, "key.png") &&
        save(*icon, folder, "icon.png") && save(*icon128, folder, "icon-128.png") &&
        save(icon96->scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation), folder,
             "icon-48.png");
    return ok ? 0 : 1;
}
