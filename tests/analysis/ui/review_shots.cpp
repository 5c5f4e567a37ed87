// review_shots: screenshots of the record review windows for looking at them.
//   review_shots RECORD.pwv OUTPUT_FOLDER
// Shows each view's ContainerPanel in a plain 1400 x 700 top-level window (with two toggle buttons
// standing in for the ribbon's fragment buttons above the viewer), sets it up as a user would (a
// fragment a few beats into the record, the five markers on the first pulse wave), and grabs the
// window from the screen: viewer.png, heartrate.png, pulseindexes.png, patient.png. Run it under
// xvfb-run; on the offscreen platform it renders the widgets instead.

#include "analysis/ui/HeartRateFormUnit.h"
#include "analysis/ui/PulseIndexesFormUnit.h"
#include "app/AppState.h"
#include "app/Settings.h"
#include "storage/PGFiles.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/ui/PatientFormUnit.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/QtText.h"
#include "viewing/ui/ShowRecordFormUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>
#include <string>

namespace {

// The ribbon's group "Выбор фрагмента", as far as the viewer sees it.
class FragmentBar : public QWidget, public IFragmentButtons {
public:
    FragmentBar() {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(6, 4, 6, 4);
        for (auto [label, button] : {std::pair{"Начало", &m_start}, std::pair{"Конец", &m_end}}) {
            row->addWidget(new QLabel(QString::fromUtf8(label), this));
            *button = new QToolButton(this);
            (*button)->setCheckable(true);
            (*button)->setText("00:00:00");
            (*button)->setMinimumWidth(110);
            row->addWidget(*button);
        }
        row->addStretch(1);
    }
    bool StartDown() const override { return m_start->isChecked(); }
    bool EndDown() const override { return m_end->isChecked(); }
    void SetStartDown(bool d) override { m_start->setChecked(d); }
    void SetEndDown(bool d) override { m_end->setChecked(d); }
    void SetCaptions(const MString& s, const MString& e) override {
        m_start->setText(ToQt(s));
        m_end->setText(ToQt(e));
    }

private:
    QToolButton* m_start = nullptr;
    QToolButton* m_end = nullptr;
};

void Settle(int ms = 150) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
}

bool Grab(QWidget& window, const std::string& path) {
    Settle();
    QPixmap shot;
    QScreen* screen = window.screen();
    if (QGuiApplication::platformName() == "xcb" && screen) shot = screen->grabWindow(window.winId());
    if (shot.isNull()) shot = window.grab();
    const bool ok = shot.save(QString::fromStdString(path), "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "cannot write", path.c_str());
    return ok;
}

QWidget* Window(QWidget* top, QWidget* panel) {
    auto* window = new QWidget;
    window->setWindowTitle("Corvina review");
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (top) layout->addWidget(top);
    layout->addWidget(panel, 1);
    window->resize(1400, 700);
    window->move(0, 0);
    window->show();
    Settle();
    return window;
}

void Click(QWidget* w, int x, int y) {
    const QPointF at(x, y);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
}

// Where the five markers belong on the first wave shown: the foot, the systolic peak, the notch
// after it, the dicrotic peak after the notch and the foot of the next wave.
void FindMarkers(const PulseIndexViewModel& m, double out[5]) {
    const std::vector<double>& t = m.WaveTimes();
    const std::vector<double>& v = m.WaveValues();
    const size_t n = t.size();
    auto lowest = [&](size_t from, size_t to) {
        size_t at = from;
        for (size_t i = from; i < to && i < n; ++i)
            if (v[i] < v[at]) at = i;
        return at;
    };
    auto highest = [&](size_t from, size_t to) {
        size_t at = from;
        for (size_t i = from; i < to && i < n; ++i)
            if (v[i] > v[at]) at = i;
        return at;
    };
    auto after = [&](size_t from, double seconds) {
        size_t i = from;
        while (i + 1 < n && t[i] < t[from] + seconds) ++i;
        return i;
    };
    auto before = [&](size_t from, double seconds) {
        size_t i = from;
        while (i > 0 && t[i] > t[from] - seconds) --i;
        return i;
    };
    // The steepest upstroke from index `from` to `to`.
    auto upstroke = [&](size_t from, size_t to) {
        size_t at = std::max<size_t>(from, 5);
        double best = -1e9;
        for (size_t i = at; i + 5 < to && i + 5 < n; ++i)
            if (v[i + 5] - v[i - 5] > best) best = v[i + 5] - v[i - 5], at = i;
        return at;
    };
    const size_t up = upstroke(0, n * 6 / 10);
    const size_t foot = lowest(before(up, 0.25), up);
    const size_t peak = highest(up, after(up, 0.25));
    const size_t nextUp = upstroke(after(peak, 0.3), n);
    const size_t next = nextUp > after(peak, 0.3) ? lowest(before(nextUp, 0.25), nextUp) : lowest(peak, n);
    // The notch: the first point after the peak where the fall stops (a local minimum).
    size_t notch = peak + 5;
    while (notch + 5 < next && !(v[notch] <= v[notch - 5] && v[notch] <= v[notch + 5])) ++notch;
    const size_t dicrotic = highest(notch, std::min(next, after(notch, 0.3)));
    const size_t at[5] = {foot, peak, notch, dicrotic, next};
    for (int k = 0; k < 5; ++k) out[k] = t[at[k]];
}

int PixelOf(TPulseIndexesForm& form, double time) {
    int best = 0;
    double distance = 1e9;
    for (int x = 0; x < form.MainPB()->width(); ++x) {
        const double d = std::abs(form.Plot().TimeAtPixel(x) - time);
        if (d < distance) distance = d, best = x;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: review_shots RECORD.pwv OUTPUT_FOLDER\n");
        return 2;
    }
    QApplication app(argc, argv);
    const std::string record = argv[1], out = argv[2];
    SetSettingsFilePath(MString(out + "/Ini.bin"));
    GetAppState(true)->CurrentRecordFile.Clear();

    // The viewer with both markers placed.
    TShowRecordForm viewer;
    auto* bar = new FragmentBar;
    viewer.SetFragmentButtons(bar);
    QWidget* w = Window(bar, viewer.ContainerPanel());
    if (!viewer.OpenFile(MString(record))) return 1;
    // A fragment of 40 s from about 20 s on: the start placed, then the end, scrolled back to the start
    // for the first picture; the second shows a fragment short enough to see both markers at once.
    const int from = viewer.RecScrollBar()->minimum() + 20;
    auto place = [&](int startAt, int endAt) {
        viewer.RecScrollBar()->setValue(startAt);
        bar->SetStartDown(true);
        viewer.PlaceStartMarker();
        bar->SetStartDown(false);
        viewer.PlaceStartMarker();
        viewer.RecScrollBar()->setValue(endAt);
        bar->SetEndDown(true);
        viewer.PlaceEndMarker();
        bar->SetEndDown(false);
        viewer.PlaceEndMarker();
    };
    place(from + 3, from + 5);
    viewer.RecScrollBar()->setValue(from + 4);
    bool ok = Grab(*w, out + "/viewer.png");
    viewer.ResetFragment();
    place(from - 1, from + 39);
    viewer.RecScrollBar()->setValue(from - 2);
    ok = Grab(*w, out + "/viewer_long.png") && ok;
    delete w;

    THeartRateForm heart;
    w = Window(nullptr, heart.ContainerPanel());
    heart.ShowFragment();
    ok = Grab(*w, out + "/heartrate.png") && ok;
    delete w;

    TPulseIndexesForm pulse;
    w = Window(nullptr, pulse.ContainerPanel());
    pulse.ShowIndexes();
    double times[5];
    FindMarkers(pulse.Model(), times);
    for (int k = 0; k < 5; ++k) {
        pulse.MarkerButton(k)->click();
        Click(pulse.MainPB(), PixelOf(pulse, times[k]), pulse.MainPB()->height() / 2);
    }
    pulse.MarkerButton(4)->click();
    ok = Grab(*w, out + "/pulseindexes.png") && ok;
    delete w;

    GetPGFiles(true)->Metadata.Value(u"PatName") = MString(u"Иванов Иван Иванович");
    GetPGFiles(true)->Metadata.Value(u"PatAge") = MString(u"54");
    GetPGFiles(true)->Metadata.Value(u"PatNotice") =
        MString(u"Жалобы на головную боль.\r\nПринимает эналаприл.");
    TPatientForm patient;
    w = Window(nullptr, patient.ContainerPanel());
    patient.Load();
    ok = Grab(*w, out + "/patient.png") && ok;
    delete w;
    GetPGFiles(true)->Close();
    return ok ? 0 : 1;
}
