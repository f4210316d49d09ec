#include "UiTestMain.h"
#include "model/UTMyException.h"
#include "ui/ImageEx.h"
#include "ui/TooltipUtil.h"
#include "ui/UTImageList.h"
#include "ui/UTPictures.h"

#include <QEnterEvent>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <memory>
#include <optional>

using namespace bfs;

namespace {

QPixmap Solid(Qt::GlobalColor Colour) {
    QPixmap p(4, 4);
    p.fill(Colour);
    return p;
}

// The colour of the picture a control shows; invalid when it shows none.
QColor Shown(const QLabel& Label) {
    const QPixmap p = Label.pixmap();
    return p.isNull() ? QColor() : p.toImage().pixelColor(0, 0);
}

// A button as the windows set up their auto-changing buttons: a picture for each state.
void SetUp(TImageExButton& B, bool ClickAutoChange = true) {
    B.SetPicNormal(Solid(Qt::white));
    B.SetPicMouseMove(Solid(Qt::yellow));
    B.SetPicSelect(Solid(Qt::blue));
    B.SetPicAutoChange(true);
    B.SetClickAutoChange(ClickAutoChange);
}

void Enter(QWidget* W) {
    QEnterEvent e(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(W, &e);
}

void Leave(QWidget* W) {
    QEvent e(QEvent::Leave);
    QCoreApplication::sendEvent(W, &e);
}

QString ErrorLog() {
    QFile f(QString::fromStdString(TMyException::LogFileName()));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

class ImageExTest : public QObject {
    Q_OBJECT
    std::optional<QTemporaryDir> m_Config;
    QByteArray m_OldConfigHome;

  private slots:
    // The error log goes to a program folder of the test's own.
    void init() {
        m_Config.emplace();
        m_OldConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", m_Config->path().toUtf8());
    }
    void cleanup() {
        if (m_OldConfigHome.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_OldConfigHome);
        m_Config.reset();
    }

    // Clicking the second of two selectable buttons selects it; what happens to the first, selected
    // before, depends on the group, AllowAllSelected and the parent.
    void selectingUpdatesOnlyTheGroupOnTheSameParent() {
        const struct {
            const char* Name;
            int FirstGroup;
            int SecondGroup;
            bool FirstAllowAll;
            bool SameParent;
            TPicState FirstAfter;
        } cases[] = {
            {"same group", 1, 1, false, true, isNormal},
            {"first allows all selected", 1, 1, true, true, isSelect},
            {"group 0 is no group", 0, 0, false, true, isSelect},
            {"other group", 1, 2, false, true, isSelect},
            {"other parent", 1, 1, false, false, isSelect},
        };
        for (const auto& c : cases) {
            QWidget parent;
            QWidget otherParent;
            TImageExButton first(&parent);
            TImageExButton second(c.SameParent ? &parent : &otherParent);
            SetUp(first);
            SetUp(second);
            first.SetGroupIndex(c.FirstGroup);
            second.SetGroupIndex(c.SecondGroup);
            first.SetAllowAllSelected(c.FirstAllowAll);
            first.Click();
            QVERIFY2(first.PicState() == isSelect, c.Name);
            QSignalSpy clicked(&second, &TImageEx::clicked);
            second.Click();
            QVERIFY2(second.PicState() == isSelect, c.Name);
            QCOMPARE(clicked.count(), 1);
            QVERIFY2(first.PicState() == c.FirstAfter, c.Name);
            QVERIFY2(Shown(first) == QColor(c.FirstAfter == isNormal ? Qt::white : Qt::blue), c.Name);
        }
    }

    // Enter and leave change the state only with PicAutoChange and never that of a selected button;
    // the signals come in every case.
    void mouseEnterAndLeave() {
        const struct {
            const char* Name;
            bool AutoChange;
            TPicState Before;
            bool Entering;
            TPicState After;
        } cases[] = {
            {"enter", true, isNormal, true, isMouseMove},
            {"leave", true, isMouseMove, false, isNormal},
            {"enter without auto change", false, isNormal, true, isNormal},
            {"selected, enter", true, isSelect, true, isSelect},
            {"selected, leave", true, isSelect, false, isSelect},
        };
        for (const auto& c : cases) {
            TImageExButton b;
            SetUp(b);
            b.SetPicAutoChange(c.AutoChange);
            b.SetPicState(c.Before);
            QSignalSpy entered(&b, &TImageEx::mouseEnter);
            QSignalSpy left(&b, &TImageEx::mouseLeave);
            c.Entering ? Enter(&b) : Leave(&b);
            QVERIFY2(b.PicState() == c.After, c.Name);
            QCOMPARE(entered.count() + left.count(), 1);
            QCOMPARE(entered.count(), c.Entering ? 1 : 0);
        }
    }

    // A state without a picture, or a disabled button without PicDisabled, leaves the shown picture.
    void anEmptyPictureNeverReplacesTheShownOne() {
        for (const bool withDisabled : {false, true}) {
            TImageExButton b;
            b.SetPicNormal(Solid(Qt::white));
            b.SetPicAutoChange(true);
            if (withDisabled) b.SetPicDisabled(Solid(Qt::gray));
            Enter(&b);  // no PicMouseMove
            QCOMPARE(b.PicState(), isMouseMove);
            QCOMPARE(Shown(b), QColor(Qt::white));
            b.SetPicMouseMove(Solid(Qt::yellow));
            QCOMPARE(Shown(b), QColor(Qt::yellow));
            b.setEnabled(false);
            QCOMPARE(Shown(b), QColor(withDisabled ? Qt::gray : Qt::yellow));
            Leave(&b);
            QCOMPARE(Shown(b), QColor(withDisabled ? Qt::gray : Qt::yellow));
            b.setEnabled(true);
            QCOMPARE(Shown(b), QColor(Qt::white));
        }
    }

    // A click is a left press and release inside the control, or Space or Enter; ClickAutoChange
    // selects only together with PicAutoChange.
    void clicksFromMouseAndKeyboard() {
        QWidget window;
        window.resize(100, 100);
        TImageExButton b(&window);
        b.setGeometry(10, 10, 40, 40);
        b.setFocusPolicy(Qt::StrongFocus);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy clicked(&b, &TImageEx::clicked);
        QSignalSpy down(&b, &TImageEx::mouseDown);

        SetUp(b, true);
        b.SetPicAutoChange(false);
        QTest::mouseClick(&b, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(b.PicState(), isNormal);

        QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(60, 60));  // released outside
        QTest::mouseClick(&b, Qt::RightButton, {}, QPoint(5, 5));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(down.count(), 2);

        b.SetPicAutoChange(true);
        QTest::keyClick(&b, Qt::Key_Space);
        QTest::keyClick(&b, Qt::Key_Return);
        QTest::keyClick(&b, Qt::Key_A);
        QCOMPARE(clicked.count(), 3);
        QCOMPARE(b.PicState(), isSelect);
    }

    void loadJpegResourceKeepsMarkedAndMissingPictures() {
        TImageEx image;
        image.setPixmap(Solid(Qt::red));
        image.Tag = 1;
        LoadJpegResource(&image, "SMCLoseBtn2", "JPG");
        QCOMPARE(Shown(image), QColor(Qt::red));

        image.Tag = 0;
        LoadJpegResource(&image, "SMCLoseBtn2", "JPG");
        QCOMPARE(image.pixmap().deviceIndependentSize().toSize(), QSize(16, 16));

        image.setPixmap(Solid(Qt::red));
        LoadJpegResource(&image, "NoSuchPicture", "JPG");
        LoadJpegResource(&image, "NoSuchPicture", "JPG");
        QCOMPARE(Shown(image), QColor(Qt::red));
        QCOMPARE(ErrorLog().count(QStringLiteral("NoSuchPicture")), 1);
    }

    // Every picture the windows name is compiled in, at the size they count on, with its 2x form.
    void everyPictureIsCarriedAtItsSize() {
        const struct {
            const char* Name;
            int Width;
            int Height;
            int Count;  // 0: a single picture
        } cases[] = {
            {"ImageList1", 16, 16, 13},     {"iml_button", 55, 40, 4},       {"bigbutton", 79, 26, 3},
            {"TabIL", 75, 27, 2},           {"buttonImageList", 75, 24, 4},  {"moveil", 5, 10, 4},
            {"iml_main", 6, 27, 6},         {"TastAddImagelist", 22, 22, 3}, {"MenuButtonIL", 57, 22, 3},
            {"ilnet", 16, 16, 3},           {"TipIcon", 16, 16, 4},          {"BitBtn_Analyze1", 40, 40, 0},
            {"BitBtn_Analyze2", 40, 40, 0}, {"BitBtn_Sync1", 40, 40, 0},     {"BitBtn_Sync2", 40, 40, 0},
            {"BitBtn_Sync3", 40, 40, 0},    {"BitBtn_cancel1", 40, 40, 0},   {"BitBtn_cancel2", 40, 40, 0},
            {"BitBtn_cancel3", 40, 40, 0},  {"SMCLoseBtn1", 16, 16, 0},      {"SMCLoseBtn2", 16, 16, 0},
            {"CloseBtn1", 16, 16, 0},       {"CloseBtn2", 16, 16, 0},        {"MinBtn1", 16, 16, 0},
            {"MinBtn2", 16, 16, 0},         {"AppIcon", 32, 32, 0},
        };
        for (const auto& c : cases) {
            const QString name = QString::fromLatin1(c.Name);
            const QImage one(QStringLiteral(":/pictures/%1.png").arg(name));
            const QImage two(QStringLiteral(":/pictures/%1@2x.png").arg(name));
            const int count = c.Count ? c.Count : 1;
            QVERIFY2(one.size() == QSize(c.Width * count, c.Height), c.Name);
            QVERIFY2(two.size() == 2 * one.size(), c.Name);
            if (c.Count) {
                TImageList list(c.Width, c.Height);
                QVERIFY2(list.LoadStrip(name) && list.Count() == c.Count, c.Name);
            }
        }
    }

    // At the left edge, the centre or the right edge of the target: half way down with the body
    // above, below when there is no room above; or, hanging Below, at its bottom edge, at its top
    // edge with the body above when there is no room below.
    void balloonPointsAtTheTarget() {
        QWidget window;
        window.resize(300, 200);
        QWidget target(&window);
        target.setGeometry(40, 50, 80, 20);
        window.show();
        TToolTip tip(&window);
        tip.Interval = 0;
        const int low = window.screen()->availableGeometry().bottom() - 100;
        const struct {
            bool Below;
            int WindowTop;
            bool BodyBelow;
            int TipY;  // in the target: 0 its top, 10 half way down, 20 its bottom
        } rows[] = {
            {false, 300, false, 10}, {false, 0, true, 10}, {true, 0, true, 20}, {true, low, false, 0}};
        for (const auto& r : rows) {
            window.move(200, r.WindowTop);
            tip.Below = r.Below;
            for (const int position : {0, 1, 2}) {
                tip.Position = position;
                tip.ShowBalloon(&target, 1, QStringLiteral("Title"), QStringLiteral("<b>not bold</b>"));
                const QPoint point = target.mapToGlobal(QPoint(position * 40, r.TipY));
                const QRect g = tip.TipWindow()->geometry();
                QVERIFY(tip.TipWindow()->isVisible());
                QVERIFY(g.left() <= point.x() && point.x() <= g.right());
                QCOMPARE(r.BodyBelow ? g.top() : g.bottom() + 1, point.y());
            }
        }
        // Texts are shown as they are, never as markup.
        bool literal = false;
        for (const QLabel* l : tip.TipWindow()->findChildren<QLabel*>())
            literal |= l->text() == QStringLiteral("<b>not bold</b>") && l->textFormat() == Qt::PlainText;
        QVERIFY(literal);
    }

    // One balloon at a time; each hides after its Interval; the target's tooltip is quiet meanwhile
    // and unchanged afterwards.
    void balloonLifetime() {
        QWidget owner1;
        QWidget owner2;
        QWidget target;
        target.setToolTip(QStringLiteral("hint"));
        target.resize(50, 20);
        target.show();
        TToolTip first(&owner1);
        TToolTip second(&owner2);
        first.ShowBalloon(&target, 2, QStringLiteral("First"), QStringLiteral("text"));
        QVERIFY(first.Active() && first.TipWindow()->isVisible());

        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), target.mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(&target, &help);
        QVERIFY(!QToolTip::isVisible());
        QCOMPARE(target.toolTip(), QStringLiteral("hint"));

        second.Interval = 50;
        second.ShowBalloon(&target, 3, QStringLiteral("Second"), QStringLiteral("text"));
        QVERIFY(!first.Active() && !first.TipWindow()->isVisible());
        QVERIFY(second.TipWindow()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!second.TipWindow()->isVisible(), 2000);
        QVERIFY(!second.Active());

        QCoreApplication::sendEvent(&target, &help);
        QCOMPARE(QToolTip::text(), QStringLiteral("hint"));
        QToolTip::hideText();
    }

    // The focus mark shows for the keyboard's focus, not for a click's.
    void focusMarkShowsForTheKeyboard() {
        QWidget window;
        TImageEx first(&window), second(&window);
        for (TImageEx* w : {&first, &second}) {
            w->setFocusPolicy(Qt::StrongFocus);
            w->setFixedSize(60, 24);
        }
        second.move(0, 30);
        const QImage unmarked = first.grab().toImage();
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        // The focus the window gives as it opens: no mark.
        QVERIFY(first.hasFocus());
        QCOMPARE(first.grab().toImage(), unmarked);
        const struct {
            Qt::FocusReason Reason;
            bool Marked;
        } rows[] = {{Qt::TabFocusReason, true},
                    {Qt::MouseFocusReason, false},
                    {Qt::BacktabFocusReason, true},
                    {Qt::OtherFocusReason, true}};
        for (const auto& r : rows) {
            second.setFocus(Qt::OtherFocusReason);
            first.setFocus(r.Reason);
            QCOMPARE(first.grab().toImage() != unmarked, r.Marked);
        }
    }

    // A field's balloon shows once, and again only after the field went from empty to filled or
    // back; typing into the field closes it.
    void balloonOnceUntilTheFieldChanges() {
        QWidget window;
        QLineEdit field(&window);
        QWidget button(&window);
        window.show();
        TToolTip tip(&window);
        tip.Interval = 0;
        const struct {
            QString Text;  // the field's text before the call
            bool Shown;
        } steps[] = {{"", true}, {"", false}, {"/home", true}, {"/home/a", false},
                     {"", true}, {"", false}, {"x", true},     {"x", false}};
        for (const auto& s : steps) {
            field.setText(s.Text);
            tip.Hide();
            QCOMPARE(tip.ShowBalloonOnce(&field, 1, "Tip", "Type a folder"), s.Shown);
            QCOMPARE(tip.TipWindow()->isVisible(), s.Shown);
        }
        QVERIFY(tip.ShowBalloonOnce(&button, 1, "Tip", "Analyze"));
        QVERIFY(!tip.ShowBalloonOnce(&button, 1, "Tip", "Analyze"));

        field.clear();
        QVERIFY(tip.ShowBalloonOnce(&field, 1, "Tip", "Type a folder"));
        QTest::keyClick(&field, Qt::Key_Slash);
        QVERIFY(!tip.Active() && !tip.TipWindow()->isVisible());
        QCOMPARE(field.text(), QString("/"));
    }

    void balloonOwnerMustBeAWidget() {
        QObject notAWidget;
        QWidget widget;
        QCOMPARE(TToolTip::Create(&notAWidget), nullptr);
        QVERIFY(ErrorLog().contains(QStringLiteral("TToolTip's owner must be a 'TWinControl' type.")));
        std::unique_ptr<TToolTip> tip(TToolTip::Create(&widget));
        QVERIFY(tip && tip->parent() == &widget && tip->Interval == 3000);
    }
};

BFS_UI_TEST(ImageExTest);
#include "ImageExTest.moc"
