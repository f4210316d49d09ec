// The plan view at scale: builds an analysis result of N entries (default 1,000,000: folders of
// about 50 files under 20 top folders, mixed action codes, some entries excluded), opens the changes
// view in a QTreeView over TPlanModel (laid out by SetupPlanView, every row expanded, offscreen),
// then switches through the eleven views, scrolls end to end, and changes every row once as a row
// command on the root row does. Prints each step's time, the slowest paints, the view's memory per
// row and the peak memory beside the targets; asserts nothing.
//
// Usage: QT_QPA_PLATFORM=offscreen plan_view_bench [--n N] [--paints P]
//   N entries in the result (the all view's rows); P scroll positions painted, evenly spaced from
//   the top to the bottom (default 2,000), after the first 200 pages one by one.

#include "engine/UTPlan.h"
#include "model/UTConsts.h"
#include "model/UTFileAttri.h"
#include "model/UTFileTree.h"
#include "ui/UTFileTypeIcons.h"
#include "ui/UTImageList.h"
#include "ui/UTPlanModel.h"

#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QPainter>
#include <QScrollBar>
#include <QTreeView>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace bfs;
using TClock = std::chrono::steady_clock;

double Ms(TClock::time_point From, TClock::time_point To) {
    return std::chrono::duration<double, std::milli>(To - From).count();
}

// Resident memory now, from /proc/self/statm.
int64_t RssBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

int64_t PeakRssBytes() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<int64_t>(u.ru_maxrss) * 1024;
}

// Bytes the allocator has handed out and not taken back.
int64_t HeapBytes() {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<int64_t>(m.uordblks + m.hblkhd);
}

double Mb(int64_t Bytes) {
    return static_cast<double>(Bytes) / (1024.0 * 1024.0);
}

// ---- A realistic result ---------------------------------------------------------------------------

struct TMix {
    int32_t Code;
    int Percent;
};
// Action codes of the files, roughly as a two-way run after some work on both sides finds them.
constexpr TMix FILE_CODES[] = {
    {ACTION_SAME, 40},       {ACTION_LEFT_ONLY, 18}, {ACTION_RIGHT_ONLY, 10},  {ACTION_LEFT_NEWER, 10},
    {ACTION_RIGHT_NEWER, 6}, {ACTION_CONFLICT, 5},   {ACTION_DELETED_LEFT, 5}, {ACTION_DELETED_RIGHT, 4},
    {ACTION_NOT_COPY, 1},    {ACTION_ERROR, 1},
};
const char* const EXTENSIONS[] = {".txt", ".jpg", ".pdf", ".cpp", ".h",   ".png",  ".docx", ".zip",
                                  ".mp3", ".log", ".xml", ".csv", ".odt", ".json", ".md",   ".bak"};

int32_t PickCode(std::mt19937& Random) {
    int roll = static_cast<int>(Random() % 100);
    for (const TMix& m : FILE_CODES) {
        if (roll < m.Percent) return m.Code;
        roll -= m.Percent;
    }
    return ACTION_SAME;
}

TFileTree* AddEntry(TFileTree& Parent, const std::string& Path, std::string Name, bool Folder, int32_t Code,
                    std::mt19937& Random) {
    TFileAttri a;
    a.Name = std::move(Name);
    a.Path = Path;
    a.IsFolder = Folder ? 1 : 0;
    a.Size = Folder ? 0 : static_cast<int64_t>(Random() % 5000000);
    a.FileDate = static_cast<int32_t>(0x58000000u + (Random() % 0x01000000u));  // 2024
    a.Attr = Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    TFileTree* n = Parent.AddChild(std::move(a));
    // What the merge leaves: the other side's fields on a pair, the absent side marked.
    switch (Code) {
        case ACTION_LEFT_ONLY:
        case ACTION_DELETED_RIGHT:
            n->Flags |= NODE_RIGHT_ABSENT;
            break;
        case ACTION_RIGHT_ONLY:
        case ACTION_DELETED_LEFT:
            n->Flags |= NODE_LEFT_ABSENT;
            break;
        default:
            n->RightDate = n->Data->FileDate - 64;
            n->RightAttr = n->Data->Attr;
            n->RightSize = Folder ? 0 : static_cast<int64_t>(Random() % 5000000);
            break;
    }
    n->SetStatus(Code);
    return n;
}

// N entries: 20 top folders, each holding folders of 50 files; about 2% of the files excluded.
TFileTreeRef BuildResult(int64_t N) {
    std::mt19937 random(20240501);
    TFileTreeRef root = TFileTree::Create({}, nullptr);
    const int64_t top = 20;
    const int64_t perFolder = 50;
    const int64_t folders = std::max<int64_t>(1, (N - top) / (perFolder + 1));
    int64_t made = 0;
    std::vector<TFileTree*> tops;
    for (int64_t t = 0; t < top && made < N; ++t, ++made)
        tops.push_back(AddEntry(*root, "/", "project_" + std::to_string(t), true, ACTION_NONE, random));
    for (int64_t f = 0; f < folders && made < N; ++f) {
        TFileTree& t = *tops[static_cast<size_t>(f % static_cast<int64_t>(tops.size()))];
        const std::string path = "/" + t.Name + "/";
        TFileTree* folder = AddEntry(t, path, "folder_" + std::to_string(f), true, ACTION_NONE, random);
        ++made;
        const std::string inner = path + folder->Name + "/";
        const int64_t files = f + 1 == folders ? N - made : std::min(perFolder, N - made);
        for (int64_t i = 0; i < files; ++i, ++made) {
            const char* ext = EXTENSIONS[random() % std::size(EXTENSIONS)];
            TFileTree* file =
                AddEntry(*folder, inner, "file_" + std::to_string(i) + ext, false, PickCode(random), random);
            file->SetFilterState(random() % 50 == 0 ? ACTION_EXCLUDED : ACTION_INCLUDED);
        }
        folder->SetFilterState(ACTION_INCLUDED);
    }
    for (TFileTree* t : tops) t->SetFilterState(ACTION_INCLUDED);
    return root;
}

// ---- The view ---------------------------------------------------------------------------------------

// A tree view that times each of its paints.
class TTimedView : public QTreeView {
  public:
    std::vector<double> Paints;  // milliseconds per paint of the rows

  protected:
    void paintEvent(QPaintEvent* Event) override {
        const auto t0 = TClock::now();
        QTreeView::paintEvent(Event);
        Paints.push_back(Ms(t0, TClock::now()));
    }
};

// The 13 fixed pictures: from the resources when they are there, else plain squares.
void LoadPlanImages(TImageList& Images) {
    if (Images.LoadStrip(QStringLiteral("ImageList1")) && Images.Count() >= 13) return;
    Images.Truncate(0);
    for (int i = 0; i < 13; ++i) {
        QPixmap p(16, 16);
        p.fill(QColor::fromHsv(i * 27, 120, 220));
        Images.Add(p);
    }
}

struct TOpen {
    size_t Rows = 0;
    double Build = 0, Reset = 0, Expand = 0, Paint = 0;
    double Total() const { return Build + Reset + Expand + Paint; }
};

size_t CountRows(const TPlanRow& Root) {
    size_t n = 0;
    std::vector<const TPlanRow*> pending{&Root};
    while (!pending.empty()) {
        const TPlanRow* r = pending.back();
        pending.pop_back();
        n += 1;
        for (const auto& c : r->Children) pending.push_back(c.get());
    }
    return n;
}

// Shows view Kind as the window does: rows rebuilt inside the model's reset, every row expanded,
// the first paint.
TOpen OpenView(TPlan& Plan, TFileTree& Result, int32_t Kind, TPlanModel& Model, TTimedView& View) {
    TOpen o;
    const auto t0 = TClock::now();
    TClock::time_point t1;
    Model.Reset([&] {
        Plan.ShowView(Result, Kind, "Bench");
        t1 = TClock::now();
    });
    const auto t2 = TClock::now();
    View.expandAll();
    const auto t3 = TClock::now();
    View.viewport()->repaint();
    const auto t4 = TClock::now();
    o.Rows = Plan.RootNode ? CountRows(*Plan.RootNode) : 0;
    o.Build = Ms(t0, t1);
    o.Reset = Ms(t1, t2);
    o.Expand = Ms(t2, t3);
    o.Paint = Ms(t3, t4);
    return o;
}

void PrintOpen(const char* What, const TOpen& o) {
    std::printf("  %-22s %9zu rows  %7.1f ms  (rows %6.1f, reset %5.1f, expand %6.1f, paint %5.1f)\n", What,
                o.Rows, o.Total(), o.Build, o.Reset, o.Expand, o.Paint);
}

struct TPaints {
    size_t Count = 0;
    double Mean = 0, P99 = 0, Max = 0, MaxRepaint = 0;
};

TPaints Summary(std::vector<double> Paints, double MaxRepaint) {
    TPaints s;
    if (Paints.empty()) return s;
    s.Count = Paints.size();
    double sum = 0;
    for (double p : Paints) sum += p;
    s.Mean = sum / static_cast<double>(Paints.size());
    std::sort(Paints.begin(), Paints.end());
    s.P99 = Paints[std::min(Paints.size() - 1, Paints.size() * 99 / 100)];
    s.Max = Paints.back();
    s.MaxRepaint = MaxRepaint;
    return s;
}

// Scrolls from the top to the bottom: the first 200 pages one by one, then Positions evenly spaced
// positions to the end; each position painted at once.
TPaints ScrollEndToEnd(TTimedView& View, int Positions) {
    QScrollBar& bar = *View.verticalScrollBar();
    View.Paints.clear();
    double maxRepaint = 0;
    auto paintAt = [&](int value) {
        bar.setValue(value);
        const auto t0 = TClock::now();
        View.viewport()->repaint();
        maxRepaint = std::max(maxRepaint, Ms(t0, TClock::now()));
    };
    const int page = std::max(1, bar.pageStep());
    for (int i = 0; i < 200 && i * page <= bar.maximum(); ++i) paintAt(i * page);
    for (int i = 0; i <= Positions; ++i)
        paintAt(static_cast<int>(static_cast<int64_t>(bar.maximum()) * i / std::max(1, Positions)));
    return Summary(View.Paints, maxRepaint);
}

}  // namespace

int main(int argc, char** argv) {
    int64_t n = 1000000;
    int positions = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--n") == 0 && i + 1 < argc)
            n = std::max<int64_t>(100, std::atoll(argv[++i]));
        else if (std::strcmp(argv[i], "--paints") == 0 && i + 1 < argc)
            positions = std::max(1, std::atoi(argv[++i]));
    }
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    // Type icons as a desktop shows them, where the machine has an icon theme.
    if (QIcon::themeName().isEmpty()) {
        QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << QStringLiteral("/usr/share/icons"));
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    }

    auto t0 = TClock::now();
    TFileTreeRef result = BuildResult(n);
    std::printf("Plan view benchmark: %lld entries in the result (built in %.0f ms)\n",
                static_cast<long long>(n), Ms(t0, TClock::now()));

    TImageList images(16, 16);
    LoadPlanImages(images);
    TFileTypeIcons icons(images);
    TPlan plan;
    plan.FileImage = [&icons](const std::string& Name) { return icons.ImageOf(Name); };
    TPlanModel model(plan, images);
    TTimedView view;
    view.setModel(&model);
    SetupPlanView(view);
    view.resize(1100, 700);
    view.show();
    app.processEvents();

    // The first open, as the end of an analysis shows it; memory measured around it.
    malloc_trim(0);
    const int64_t rss0 = RssBytes(), heap0 = HeapBytes();
    TClock::time_point built;
    int64_t rssRows = 0, heapRows = 0;
    TOpen first;
    {
        const auto s = TClock::now();
        model.Reset([&] {
            plan.ShowView(*result, VIEW_CHANGES, "Bench");
            built = TClock::now();
            rssRows = RssBytes();
            heapRows = HeapBytes();
        });
        const auto r = TClock::now();
        view.expandAll();
        const auto e = TClock::now();
        view.viewport()->repaint();
        const auto p = TClock::now();
        first.Rows = CountRows(*plan.RootNode);
        first.Build = Ms(s, built);
        first.Reset = Ms(built, r);
        first.Expand = Ms(r, e);
        first.Paint = Ms(e, p);
    }
    const int64_t rssView = RssBytes(), heapView = HeapBytes();
    std::printf("\nOpening the changes view after the analysis (target: under 1000 ms)\n");
    PrintOpen("changes", first);
    std::printf("  type icons: %zu cached, no icon for \"%s\"\n", icons.IconExtensions.size(),
                icons.NoIconExtensions.c_str());

    std::printf("\nMemory of the changes view (target: under 100 B per row beyond the engine's rows)\n");
    const double rows = static_cast<double>(first.Rows);
    std::printf("  engine rows: RSS %+.1f MB, heap %+.1f MB (%.0f B per row)\n", Mb(rssRows - rss0),
                Mb(heapRows - heap0), static_cast<double>(heapRows - heap0) / rows);
    std::printf(
        "  view:        RSS %+.1f MB, heap %+.1f MB (%.1f B per row by RSS, %.1f B per row by heap)\n",
        Mb(rssView - rssRows), Mb(heapView - heapRows), static_cast<double>(rssView - rssRows) / rows,
        static_cast<double>(heapView - heapRows) / rows);

    std::printf("\nSwitching views (target: each under 1000 ms)\n");
    const char* const names[] = {"all", "changes",   "conflicts", "errors",        "included",     "excluded",
                                 "new", "overwrite", "delete",    "left to right", "right to left"};
    double slowest = 0;
    for (int32_t kind = VIEW_ALL; kind <= VIEW_RTOL; ++kind) {
        const TOpen o = OpenView(plan, *result, kind, model, view);
        slowest = std::max(slowest, o.Total());
        PrintOpen(names[kind], o);
    }
    std::printf("  slowest switch: %.1f ms\n", slowest);

    const TOpen all = OpenView(plan, *result, VIEW_ALL, model, view);
    std::printf("\nScrolling the all view (%zu rows) end to end (target: every paint at most 16 ms)\n",
                all.Rows);
    const TPaints s = ScrollEndToEnd(view, positions);
    std::printf(
        "  %zu paints: mean %.2f ms, 99th percentile %.2f ms, slowest %.2f ms; slowest repaint with "
        "flush %.2f ms\n",
        s.Count, s.Mean, s.P99, s.Max, s.MaxRepaint);

    // A row command on the root row: every row gets a new code and is repainted.
    view.verticalScrollBar()->setValue(0);
    t0 = TClock::now();
    plan.SetNodeAction(*plan.RootNode, ACTION_NOT_COPY);
    const auto t1 = TClock::now();
    model.RowChanged(*plan.RootNode, true);
    view.Paints.clear();
    view.viewport()->repaint();
    const auto t2 = TClock::now();
    std::printf(
        "\nDo not copy on the root row: %.1f ms to set %zu rows, %.1f ms to lay them out again and paint "
        "(the paint %.1f ms)\n",
        Ms(t0, t1), all.Rows, Ms(t1, t2), view.Paints.empty() ? 0.0 : view.Paints.back());
    // The sync walk repaints each row it carries out, one call per row, in its order (post-order).
    std::vector<const TPlanRow*> order;
    {
        std::vector<std::pair<const TPlanRow*, size_t>> stack{{plan.RootNode.get(), 0}};
        while (!stack.empty() && order.size() < 200000) {
            auto& [row, next] = stack.back();
            if (next < row->Children.size()) {
                const TPlanRow* c = row->Children[next++].get();
                stack.push_back({c, 0});
                continue;
            }
            order.push_back(row);
            stack.pop_back();
        }
    }
    t0 = TClock::now();
    for (const TPlanRow* r : order) model.RowChanged(*r);
    app.processEvents();
    std::printf("Sync walk repaints: %.2f us per row over %zu rows\n",
                Ms(t0, TClock::now()) * 1000.0 / static_cast<double>(order.size()), order.size());

    std::printf("\nPeak RSS: %.1f MB\n", Mb(PeakRssBytes()));
    return 0;
}
