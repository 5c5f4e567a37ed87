// plotdemo: renders the plot library's display modes to PNG files, for looking at them.
//   plotdemo [folder]     (default: the current folder)
// Writes page.png, scroll.png, sweep.png, viewer.png, sidebyside.png and report.png. Runs without
// a display (the offscreen platform is chosen when none is set).

#include "core/Clock.h"
#include "viewing/plot/G2dGraph.h"
#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Beats passed by time t (s) at a heart rate of 68 + 4 sin(0.4 t) beats per minute.
double Beats(double t) {
    return (68 * t - 10 * std::cos(0.4 * t)) / 60;
}

// A finger pulse wave on 0 ... 1: a quick systolic rise, a dicrotic notch and a slow run-off.
double Pulse(double t) {
    const double phase = Beats(t) - std::floor(Beats(t));
    auto bump = [](double x, double centre, double width) {
        const double d = (x - centre) / width;
        return std::exp(-d * d);
    };
    return 0.12 + 0.75 * bump(phase, 0.18, 0.08) + 0.3 * bump(phase, 0.42, 0.1) + 0.05 * std::sin(t * 1.3);
}

// First time after t at which the beat phase reaches `phase` (0 ... 1).
double NextPhase(double t, double phase) {
    const double target = std::floor(Beats(t)) + phase + (Beats(t) - std::floor(Beats(t)) > phase ? 1 : 0);
    while (Beats(t) < target) t += 0.0005;
    return t;
}

std::vector<double> Times(double from, double to, double step) {
    std::vector<double> t;
    for (int i = 0; from + i * step <= to + 1e-9; ++i) t.push_back(from + i * step);
    return t;
}

void Add(G2dGraph& g, int channel, const std::vector<double>& t, double (*f)(double)) {
    std::vector<double> y;
    y.reserve(t.size());
    for (double x : t) y.push_back(f(x));
    g.AddPoints(channel, t.data(), static_cast<int>(t.size()), y.data());
}

bool Save(const QImage& image, const std::string& folder, const char* name) {
    const std::string path = folder + "/" + name;
    if (!image.save(QString::fromStdString(path), "PNG")) {
        std::cerr << "plotdemo: cannot write " << path << "\n";
        return false;
    }
    std::cout << path << "\n";
    return true;
}

QImage Target(int w, int h, int ppi) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    const int dpm = static_cast<int>(std::lround(ppi / 0.0254));
    image.setDotsPerMeterX(dpm);
    image.setDotsPerMeterY(dpm);
    return image;
}

// Three channels in page mode: pulse, heart rate, respiration.
bool PageDemo(const std::string& folder) {
    QImage image = Target(1200, 700, 96);
    G2dQtCanvas canvas(&image);
    G2dGraph g;
    g.AddChannel(MString(u"Пульсовая волна"))->SetCaptions(MString(u"Время"), MString(u"Ампл., ед."));
    G2dChannel* hr = g.AddChannel(MString(u"ЧСС"));
    hr->SetCaptions(MString(u"Время"), MString(u"ЧСС, отн."));
    hr->SetCurveColour({0, 128, 0});
    G2dChannel* resp = g.AddChannel(MString(u"Дыхание"));
    resp->SetCaptions(MString(u"Время"), MString(u"отн."));
    resp->SetCurveColour({128, 0, 128});
    g.SetCanvas(&canvas, 96, 1, 1, {0, 0, 1200, 700});
    g.SetBaseline(32, 0.1);
    g.FitSpans(8, 1.2);
    const std::vector<double> t = Times(0, 13, 0.002);
    Add(g, 0, t, Pulse);
    Add(g, 1, Times(0, 13, 0.05), [](double x) { return 0.5 + 0.3 * std::sin(x * 0.4); });
    Add(g, 2, Times(0, 13, 0.01), [](double x) { return 0.5 + 0.4 * std::sin(2 * kPi * x / 4); });
    g.Render();
    return Save(image, folder, "page.png");
}

// The live control graph: scroll mode with a 5 mm gap, fed in bursts and paced by PlayBuffered.
bool ScrollDemo(const std::string& folder) {
    FakeClock clock(1e9);
    ScopedClock useClock(clock);
    QImage image = Target(600, 120, 96);
    G2dQtCanvas canvas(&image);
    G2dGraph g;
    G2dChannel* ch = g.AddChannel(MString(u"Контроль"));
    ch->SetCurveWidth(0.1f);
    ch->SetCurveColour({0, 128, 0});
    G2dText* hr = ch->Grid().AddText(MString(u"HR"), 18, {0, 0, 255}, g2d::kChannelLabel, 0, 0, 11, kG2dBold);
    ch->Grid().AddText(MString(u"LedI=180; LFamp=96; DC=2047"), 9, {0, 0, 0}, g2d::kChannelLabel, 0, 1, 8,
                       kG2dItalic);
    g.SetBaseline(32, 0);
    g.SetCanvas(&canvas, 96, 1.0, 1.0, {0, 0, 600, 120});
    g.SetBaseline(32, 0.1);
    g.FitSpans(3, 1.2);
    g.SetMode(g2d::kScroll, 5);
    double x = 0;
    for (int ms = 0; ms <= 8000; ++ms) {
        if (ms % 56 == 0) {
            std::vector<double> xs, ys;
            for (int i = 0; i < 28; ++i, x += 0.002) {
                xs.push_back(x);
                ys.push_back(Pulse(x));
            }
            g.BufferPoints(0, xs.data(), 28, ys.data());
        }
        if (ms % 50 == 0) g.PlayBuffered();
        if (ms == 4000) {
            hr->text = MString(u"68");
            g.InvalidateGrid();
        }
        clock.AdvanceMs(1);
    }
    return Save(image, folder, "scroll.png");
}

// The live recording graph: sweep mode with a 10 mm gap, the LED colour changing along the trace.
bool SweepDemo(const std::string& folder) {
    QImage image = Target(900, 400, 96);
    G2dQtCanvas canvas(&image);
    G2dGraph g;
    G2dChannel* ch = g.AddChannel(MString(u"Запись"));
    ch->SetCaptions(MString(u"Время, сек."), MString(u"Ампл., ед."));
    ch->SetCurveWidth(0.7f);
    ch->SetCurveColour({255, 0, 0});
    ch->Grid().AddText(MString(u"Запись 00:09"), 9, {0, 0, 255}, g2d::kChannelLabel, 10, 20, 14, kG2dBold);
    g.SetBaseline(32, 0.1);
    g.SetCanvas(&canvas, 96, 1.0, 1.0, {0, 0, 900, 400});
    g.FitSpans(6, 1.2);
    g.SetMode(g2d::kSweep, 10);
    ch->AddLinePen(-1, {128, 0, 128}, 7.5);
    for (double t0 = 0; t0 < 9.0; t0 += 0.05) {
        Add(g, 0, Times(t0 == 0 ? 0 : t0 + 0.002, t0 + 0.05, 0.002), Pulse);
        g.Render();
    }
    return Save(image, folder, "sweep.png");
}

// The record viewer: scroll mode without a gap, heart rates as data labels, two fragment markers.
bool ViewerDemo(const std::string& folder) {
    QImage image = Target(1200, 450, 96);
    G2dQtCanvas canvas(&image);
    G2dGraph g;
    G2dChannel* ch = g.AddChannel(MString(u"Плетизмограмма"));
    ch->SetCaptions(MString(u"Время"), MString(u"Ампл., ед."));
    ch->AddLinePen(0.7, {255, 0, 0}, -1);
    g.SetMode(g2d::kScroll, 0);
    G2dMarker* start = ch->AddMarker();
    start->label = MString(u"Начало");
    start->colour = {0, 0, 255};
    G2dMarker* end = ch->AddMarker();
    end->label = MString(u"Конец");
    end->colour = {255, 0, 255};
    g.SetCanvas(&canvas, 96, 50, 20, {0, 0, 1200, 450});
    g.SetBaseline(32, 0.1);
    g.FitSpans(6, 1.2);
    const double left = 124.0;
    std::vector<double> t = Times(left, left + g.VisibleSpan(), 0.002);
    Add(g, 0, t, Pulse);
    ch->AddLinePen(-1, {0, 128, 0}, left + 3.1);
    for (double beat = left + 0.2; beat < left + g.VisibleSpan(); beat += 0.88) {
        const int rate = 64 + static_cast<int>(beat * 7) % 35;
        const G2dRgb colour = rate < 50 || rate > 90 ? G2dRgb{255, 0, 0} : G2dRgb{0, 128, 0};
        ch->Grid().AddText(MString::FromInt(rate), 18, colour, g2d::kDataLabel, 0.8, beat, 14);
    }
    start->x = left + 1.4;
    end->anchored = true;
    end->x = 1200 * 0.7;
    g.Render();
    return Save(image, folder, "viewer.png");
}

// Three channels on a wide low frame stand side by side.
bool SideBySideDemo(const std::string& folder) {
    QImage image = Target(1200, 150, 96);
    G2dQtCanvas canvas(&image);
    G2dGraph g;
    for (const char16_t* name : {u"A", u"B", u"C"}) g.AddChannel(MString(name));
    g.SetCanvas(&canvas, 96, 1, 1, {0, 0, 1200, 150});
    g.SetBaseline(16, 0);
    g.FitSpans(12, 2.4); // the frame's width: each of the three shows a third
    g.SetMode(g2d::kScroll, 2);
    for (int c = 0; c < 3; ++c) {
        std::vector<double> t = Times(0, 4, 0.01), y;
        for (double x : t) y.push_back(std::sin(2 * kPi * x * (c + 1) / 4));
        g.AddPoints(c, t.data(), static_cast<int>(t.size()), y.data());
    }
    g.Render();
    return Save(image, folder, "sidebyside.png");
}

// The printed report's pulse wave: a 1200 x 1700 page, the plot drawn with the page's painter,
// no top x labels and no right y labels, five markers on two beats.
bool ReportDemo(const std::string& folder) {
    QImage page = Target(1200, 1700, 96);
    QPainter painter(&page);
    painter.setPen(Qt::black);
    painter.drawText(QRect(0, 20, 1200, 40), Qt::AlignCenter, QString::fromUtf8("Пульсовая волна"));
    G2dQtCanvas canvas(&painter);
    canvas.SetSmoothLines(true); // print quality
    G2dGraph g;
    g.xLabelsTop = false;
    g.yLabelsRight = false;
    G2dChannel* ch = g.AddChannel(MString(u"Пульсовая волна"));
    ch->SetCaptions(MString(u"Время"), MString(u"Ампл., ед."));
    ch->SetCurveColour({255, 0, 0});
    ch->SetCurveWidth(0.5f);
    g.SetMode(g2d::kScroll, 0);
    const G2dRect area{0, 60, static_cast<int>(0.4 * 1200 - 1) + 1, 60 + static_cast<int>(0.2 * 1700)};
    g.SetCanvas(&canvas, 96, 1, 1, area);
    g.SetBaseline(32, 0.1);
    const double s = 20.0, e = s + 2 * 60.0 / 68;
    g.FitSpans(e - s, 1.1);
    Add(g, 0, Times(s, e, 0.002), Pulse);
    // The markers where they belong on the first whole beat: foot, systolic peak, notch, dicrotic
    // peak, next foot (as parts of the beat).
    const double foot = NextPhase(s, 0.02);
    const double at[] = {0.02, 0.18, 0.31, 0.42, 1.02};
    for (int k = 0; k < 5; ++k) {
        G2dMarker* m = ch->AddMarker();
        m->x = k == 0 ? foot : k == 4 ? NextPhase(foot + 0.1, 0.02) : NextPhase(foot, at[k]);
        m->width = 0.6f;
        m->label = MString(std::u16string(u"B") + static_cast<char16_t>(u'1' + k));
    }
    g.Render();
    painter.end();
    return Save(page, folder, "report.png");
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    bool ok = PageDemo(folder);
    ok = ScrollDemo(folder) && ok;
    ok = SweepDemo(folder) && ok;
    ok = ViewerDemo(folder) && ok;
    ok = SideBySideDemo(folder) && ok;
    ok = ReportDemo(folder) && ok;
    return ok ? 0 : 1;
}
