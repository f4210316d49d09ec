#include "UiTestMain.h"
#include "engine/UTPlan.h"
#include "model/UTConsts.h"
#include "model/UTFileAttri.h"
#include "ui/UTFileTypeIcons.h"
#include "ui/UTImageList.h"
#include "ui/UTPlanModel.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <string>
#include <vector>

using namespace bfs;

namespace {

// 13 fixed pictures, each its own colour, so that an index's picture can be told apart.
void FillFixedImages(TImageList& Images) {
    Images.Truncate(0);
    for (int i = 0; i < TFileTypeIcons::FIXED_IMAGES; ++i) {
        QPixmap p(16, 16);
        p.fill(QColor::fromHsv(i * 25, 200, 200));
        Images.Add(p);
    }
}

QIcon ColourIcon() {
    QPixmap p(16, 16);
    p.fill(Qt::red);
    return QIcon(p);
}

// A DOS date-time of local wall-clock fields.
int32_t DosDate(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    return static_cast<int32_t>((static_cast<uint32_t>(Year - 1980) << 25) |
                                (static_cast<uint32_t>(Month) << 21) | (static_cast<uint32_t>(Day) << 16) |
                                (static_cast<uint32_t>(Hour) << 11) | (static_cast<uint32_t>(Minute) << 5) |
                                static_cast<uint32_t>(Second / 2));
}

TFileTree* Add(TFileTree& Parent, const std::string& Path, const std::string& Name, bool Folder, int32_t Code,
               int64_t Size = 0, int64_t RightSize = 0) {
    auto a = MakeRef<TFileAttri>();
    a->Name = Name;
    a->Path = Path;
    a->IsFolder = Folder;
    a->Size = Size;
    a->FileDate = DosDate(2024, 3, 5, 13, 2, 4);
    a->Attr = Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    TFileTree* n = Parent.AddChild(Name, a);
    n->RightSize = RightSize;
    n->SetStatus(Code);
    n->SetFilterState(ACTION_INCLUDED);
    return n;
}

// The rows below Parent in view order: indentation, name, left size and right size as shown.
void Shown(const QAbstractItemModel& Model, const QModelIndex& Parent, QStringList& Out,
           const QString& Indent) {
    for (int r = 0; r < Model.rowCount(Parent); ++r) {
        const QModelIndex i = Model.index(r, COL_NAME, Parent);
        Out << Indent + i.data().toString() + "|" + i.siblingAtColumn(COL_LEFT_SIZE).data().toString() + "|" +
                   i.siblingAtColumn(COL_RIGHT_SIZE).data().toString();
        Shown(Model, i, Out, Indent + "  ");
    }
}

}  // namespace

class PlanModelTest : public QObject {
    Q_OBJECT
  private:
    TImageList m_Images{16, 16};
    TFileTreeRef m_Result;

    qint64 ImageKey(const QModelIndex& Index) const {
        return Index.data(Qt::DecorationRole).value<QPixmap>().cacheKey();
    }

  private slots:
    void initTestCase() {
        // German forms: "05.03.24 13:02:04", "1.234.567".
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        FillFixedImages(m_Images);
    }
    void cleanupTestCase() { QLocale::setDefault(QLocale::system()); }

    void init() {
        m_Result = TFileTree::Create("", nullptr);
        TFileTree* d = Add(*m_Result, "/", "d", true, ACTION_NONE);
        Add(*d, "/d/", "a.txt", false, ACTION_LEFT_ONLY, 1234567);
        Add(*d, "/d/", "b.dat", false, ACTION_SAME, 3, 3);
        Add(*d, "/d/", "c.txt", false, ACTION_RIGHT_NEWER, 5, 7000);
        TFileTree* e = Add(*m_Result, "/", "e", true, ACTION_DELETED_LEFT);
        Add(*e, "/e/", "x.bin", false, ACTION_DELETED_LEFT, 4);
        Add(*m_Result, "/", "k.md", false, ACTION_CONFLICT, 2, 9);
    }

    void viewKindsShowTheirRowsWithFolderSums() {
        TPlan plan;
        TPlanModel model(plan, m_Images);
        const struct {
            int32_t Kind;
            QStringList Rows;
        } cases[] = {
            {VIEW_CHANGES,
             {"Task|1.234.572|7.004", "  d|1.234.572|7.000", "    a.txt|1.234.567|", "    c.txt|5|7.000",
              "  e||4", "    x.bin||4"}},
            {VIEW_ALL,
             {"Task|1.234.577|7.016", "  d|1.234.575|7.003", "    a.txt|1.234.567|", "    b.dat|3|3",
              "    c.txt|5|7.000", "  e||4", "    x.bin||4", "  k.md|2|9"}},
            {VIEW_CONFLICTS, {"Task|2|9", "  k.md|2|9"}},
            {VIEW_RTOL, {"Task|5|7.000", "  d|5|7.000", "    c.txt|5|7.000"}},
            {VIEW_ERRORS, {"Task||"}},
        };
        for (const auto& c : cases) {
            model.Reset([&] { plan.ShowView(*m_Result, c.Kind, "Task"); });
            QStringList rows;
            Shown(model, QModelIndex(), rows, "");
            QCOMPARE(rows, c.Rows);
        }
    }

    void structureIsConsistentAndReadInPlace() {
        TPlan plan;
        TPlanModel model(plan, m_Images);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);  // no task name: no root row
        model.Reset([&] { plan.ShowView(*m_Result, VIEW_ALL, "Task"); });
        // Beside the tester's checks: every row's index leads back to the row, its parent to the
        // parent row, and only rows with rows below may have children.
        std::vector<const TPlanRow*> pending{plan.RootNode.get()};
        while (!pending.empty()) {
            const TPlanRow* row = pending.back();
            pending.pop_back();
            const QModelIndex i = model.IndexOf(row, COL_RIGHT_ATTR);
            QCOMPARE(model.RowOf(i), row);
            QCOMPARE(model.RowOf(i.parent()), row->Parent);
            QCOMPARE(bool(model.flags(i) & Qt::ItemNeverHasChildren), row->Children.empty());
            for (const auto& c : row->Children) pending.push_back(c.get());
        }
        QVERIFY(!model.IndexOf(nullptr).isValid());
    }

    void cellTextsAndPicturesFollowTheRow() {
        TPlan plan;
        plan.InitResultTree("Task");
        TPlanModel model(plan, m_Images);
        auto withChild = TFileTree::Create("f", nullptr);
        withChild->AddChild("g", nullptr);
        auto childless = TFileTree::Create("h", nullptr);
        const struct {
            int32_t Action;
            bool Folder;
            TFileTreeRef Node;
            int Direction;  // picture of column 5, -1 none
        } images[] = {
            {ACTION_SAME, false, {}, 1},           {ACTION_NOT_COPY, false, {}, 8},
            {ACTION_RIGHT_ONLY, false, {}, 2},     {ACTION_RIGHT_NEWER, false, {}, 2},
            {ACTION_LEFT_ONLY, false, {}, 3},      {ACTION_LEFT_NEWER, true, withChild, 3},
            {ACTION_CONFLICT, false, {}, 9},       {ACTION_ERROR, false, {}, 12},
            {ACTION_EXCLUDED, false, {}, 8},       {ACTION_DELETED_LEFT, false, {}, 11},
            {ACTION_DELETED_RIGHT, false, {}, 10}, {ACTION_NONE, true, childless, 4},
            {ACTION_INCLUDED, true, withChild, 4}, {ACTION_INCLUDED, true, childless, -1},
            {ACTION_NONE, false, {}, -1},          {ACTION_NEW, false, {}, -1},
        };
        model.Reset([&] {
            for (const auto& c : images) {
                TResultNodeData& d = plan.RootNode->AddChild()->Data;
                d.Action = c.Action;
                d.IsFolder = c.Folder;
                d.ResultNode = c.Node;
                d.ImageIndex = c.Folder ? IMAGE_FOLDER : IMAGE_FILE;
            }
        });
        const QModelIndex root = model.IndexOf(plan.RootNode.get());
        QCOMPARE(ImageKey(root), m_Images.Pixmap(IMAGE_TASK).cacheKey());
        for (int r = 0; r < static_cast<int>(std::size(images)); ++r) {
            const auto& c = images[r];
            const QModelIndex i = model.index(r, COL_DIRECTION, root);
            QCOMPARE(ImageKey(i), c.Direction < 0 ? 0 : m_Images.Pixmap(c.Direction).cacheKey());
            QCOMPARE(ImageKey(i.siblingAtColumn(COL_NAME)),
                     m_Images.Pixmap(c.Folder ? IMAGE_FOLDER : IMAGE_FILE).cacheKey());
            QVERIFY(!i.siblingAtColumn(COL_LTOR).data(Qt::DecorationRole).isValid());
        }

        // Texts: plain names, dates above the thresholds (unsigned: 2050 shows), sizes with
        // separators, attribute letters in the order H R S A.
        TResultNodeData d;
        d.Name = "<b>a&amp;b</b>.txt";
        d.LeftDate = DosDate(2024, 3, 5, 13, 2, 4);
        d.RightDate = DosDate(2050, 1, 2, 0, 0, 0);
        d.LeftSize = 1234567;
        d.RightSize = 0;
        d.LeftAttr = 39;
        d.RightAttr = 0;
        d.LtoRCount = 12;
        d.RtoLCount = 0;
        const QStringList expected = {"<b>a&amp;b</b>.txt",
                                      "05.03.24 13:02:04",
                                      "1.234.567",
                                      "HRSA",
                                      "12",
                                      "",
                                      "",
                                      "02.01.50 00:00:00",
                                      "",
                                      ""};
        for (int col = 0; col < PLAN_COLUMN_COUNT; ++col) QCOMPARE(model.CellText(d, col), expected[col]);
        const struct {
            int32_t LeftDate, RightDate;
            int64_t LeftSize;
            int32_t LeftAttr, RightAttr;
        } empty[] = {{0, 0, 0, 0, -1}, {-1, -1, -1, -1, 0}, {2000, 20, 0, 0, 0}};
        for (const auto& e : empty) {
            d.LeftDate = e.LeftDate, d.RightDate = e.RightDate, d.LeftSize = e.LeftSize;
            d.LeftAttr = e.LeftAttr, d.RightAttr = e.RightAttr;
            for (int col : {COL_LEFT_DATE, COL_RIGHT_DATE, COL_LEFT_SIZE, COL_LEFT_ATTR, COL_RIGHT_ATTR})
                QCOMPARE(model.CellText(d, col), QString());
        }
        QCOMPARE(TPlanModel::AttributeLetters(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
                 QString("RA"));

        // Backgrounds: name white, left side green, right side blue, direction the view's own.
        const QColor backgrounds[] = {0xFFFFFF, 0xF0FFF0, 0xF0FFF0, 0xF0FFF0, 0xF0FFF0,
                                      QColor(), 0xF0FFFF, 0xF0FFFF, 0xF0FFFF, 0xF0FFFF};
        for (int col = 0; col < PLAN_COLUMN_COUNT; ++col) {
            const QVariant v = model.index(0, col, root).data(Qt::BackgroundRole);
            QCOMPARE(v.isValid() ? v.value<QBrush>().color() : QColor(), backgrounds[col]);
        }
    }

    void rowChangesReachTheView() {
        TPlan plan;
        TPlanModel model(plan, m_Images);
        model.Reset([&] { plan.ShowView(*m_Result, VIEW_ALL, "Task"); });
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy relaid(&model, &QAbstractItemModel::layoutChanged);
        TPlanRow& d = *plan.RootNode->Children[0];
        model.RowChanged(*d.Children[1]);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed[0][0].toModelIndex(), model.IndexOf(d.Children[1].get()));
        QCOMPARE(changed[0][1].toModelIndex(), model.IndexOf(d.Children[1].get(), COL_RIGHT_ATTR));

        // A folder and the rows below it, as after a row command.
        changed.clear();
        plan.SetNodeAction(*plan.RootNode, ACTION_NOT_COPY);
        model.RowChanged(*plan.RootNode, true);
        QVector<QPair<QModelIndex, QModelIndex>> ranges;
        for (const auto& s : changed) ranges.append({s[0].toModelIndex(), s[1].toModelIndex()});
        const TPlanRow& e = *plan.RootNode->Children[1];
        for (const TPlanRow* parent :
             {static_cast<const TPlanRow*>(plan.RootNode.get()), static_cast<const TPlanRow*>(&d), &e})
            QVERIFY(ranges.contains({model.IndexOf(parent->Children.front().get()),
                                     model.IndexOf(parent->Children.back().get(), COL_RIGHT_ATTR)}));
        QCOMPARE(ranges.size(), 4);
        QCOMPARE(relaid.size(), 0);
        QCOMPARE(model.index(0, COL_DIRECTION, model.IndexOf(&e))
                     .data(Qt::DecorationRole)
                     .value<QPixmap>()
                     .cacheKey(),
                 m_Images.Pixmap(8).cacheKey());

        // Thousands of rows below are laid out again instead.
        auto big = TFileTree::Create("", nullptr);
        TFileTree* f = Add(*big, "/", "f", true, ACTION_NONE);
        for (int i = 0; i < 5000; ++i) Add(*f, "/f/", "n" + std::to_string(i), false, ACTION_LEFT_ONLY);
        model.Reset([&] { plan.ShowView(*big, VIEW_ALL, "Task"); });
        changed.clear();
        model.RowChanged(*plan.RootNode, true);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(relaid.size(), 1);
    }

    void typeIconsAreCachedPerAnalysis() {
        TImageList images(16, 16);
        FillFixedImages(images);
        int lookups = 0;
        TFileTypeIcons icons(images, [&](const std::string& Ext) {
            ++lookups;
            return Ext == ".abcd" ? QIcon() : ColourIcon();
        });
        // 37 types take images 13 to 49; the 38th gets the plain file picture.
        for (int i = 0; i < 37; ++i) QCOMPARE(icons.GetFileTypeIcon(".t" + std::to_string(i)), 13 + i);
        QCOMPARE(images.Count(), 50);
        QCOMPARE(icons.ImageOf("again.t5"), 18);
        QCOMPARE(icons.ImageOf("new.t37"), 6);
        QCOMPARE(lookups, 37);
        QCOMPARE(icons.NoIconExtensions, std::string());

        icons.Reset();
        QCOMPARE(images.Count(), 13);
        QCOMPARE(icons.ImageOf("new.t37"), 13);
        QVERIFY(!images.Pixmap(13).isNull());

        // A type without icon is noted; any extension found inside the notes is not looked up.
        lookups = 0;
        const struct {
            const char* Name;
            int Image;
            int Lookups;
        } cases[] = {
            {"x.abcd", 6, 1},   {"x.abc", 6, 1},    {"x.ab", 6, 1}, {"x.bcd", 14, 2},
            {"x.abcde", 15, 3}, {"Makefile", 6, 3}, {"x.", 6, 3},   {"x.ABCD", 16, 4},
        };
        for (const auto& c : cases) {
            QCOMPARE(icons.ImageOf(c.Name), c.Image);
            QCOMPARE(lookups, c.Lookups);
        }
        QCOMPARE(icons.NoIconExtensions, std::string(",.abcd"));
    }

    void viewLayoutSurvivesModelResets() {
        TPlan plan;
        TPlanModel model(plan, m_Images);
        for (bool modelFirst : {true, false}) {
            QTreeView view;
            if (modelFirst) view.setModel(&model);
            SetupPlanView(view);
            if (!modelFirst) view.setModel(&model);
            model.Reset([&] { plan.ShowView(*m_Result, VIEW_ALL, "Task"); });
            QCOMPARE(view.header()->count(), PLAN_COLUMN_COUNT);
            const int widths[] = {180, 115, 70, 40, 45, 40, 45, 115, 70, 45};
            const double scale = view.header()->sectionSize(COL_NAME) / 180.0;
            QVERIFY(scale >= 1.0);
            // Date and size columns may grow to fit the locale's dates and sizes below a terabyte; the
            // others keep the design's widths.
            const int largest = view.fontMetrics().horizontalAdvance(QStringLiteral("999.999.999.999"));
            for (int col = 0; col < PLAN_COLUMN_COUNT; ++col) {
                const double size = view.header()->sectionSize(col), design = widths[col] * scale;
                const bool date = col == COL_LEFT_DATE || col == COL_RIGHT_DATE;
                const bool bytes = col == COL_LEFT_SIZE || col == COL_RIGHT_SIZE;
                QVERIFY(date || bytes ? size >= design - 1.0 : qAbs(size - design) <= 1.0);
                if (bytes) QVERIFY(size >= largest + 6);
            }
        }
    }
};

BFS_UI_TEST(PlanModelTest);

#include "PlanModelTest.moc"
