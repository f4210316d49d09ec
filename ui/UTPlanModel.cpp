#include "ui/UTPlanModel.h"

#include "engine/UTPlan.h"
#include "model/UTConsts.h"
#include "model/UTFileAttri.h"
#include "model/UTSysConfig.h"
#include "ui/UTImageList.h"

#include <QApplication>
#include <QDate>
#include <QHeaderView>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QTime>
#include <QTreeView>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace bfs {

namespace {

// Language keys of the column titles.
constexpr std::array<const char*, PLAN_COLUMN_COUNT> COLUMN_TITLE_KEYS = {
    "tree_item",   "tree_ldate", "tree_lsize", "tree_lattri", "tree_LtoR",
    "tree_direct", "tree_RtoL",  "tree_rdate", "tree_rsize",  "tree_rattri"};

// Column widths at the design's font; they grow with the font in use.
constexpr std::array<int, PLAN_COLUMN_COUNT> COLUMN_WIDTHS = {180, 115, 70, 40, 45, 40, 45, 115, 70, 45};
// The widest size the size columns show without cutting it.
constexpr qlonglong LARGEST_SIZE_SHOWN_WHOLE = 999'999'999'999LL;
// Line height of the font the widths were chosen for (8 points at 96 dots per inch).
constexpr double DESIGN_FONT_HEIGHT = 13.0;

// Direction pictures of column 5 by action code. A change code 7 left in a result is a conflict an
// automatic run held back, and shows as one.
struct TDirectionImage {
    int32_t Action;
    int32_t Image;
};
constexpr TDirectionImage DIRECTION_IMAGES[] = {
    {ACTION_SAME, 1},      {ACTION_NOT_COPY, 8},      {ACTION_RIGHT_ONLY, 2},     {ACTION_RIGHT_NEWER, 2},
    {ACTION_LEFT_ONLY, 3}, {ACTION_LEFT_NEWER, 3},    {ACTION_CONFLICT, 9},       {ACTION_ERROR, 12},
    {ACTION_EXCLUDED, 8},  {ACTION_DELETED_LEFT, 11}, {ACTION_DELETED_RIGHT, 10}, {ACTION_CHANGED, 9},
};
constexpr int32_t IMAGE_FOLDER_MARK = 4;

// Rows below a changed row that are announced one folder at a time; more are laid out again.
constexpr size_t ROWS_CHANGED_ONE_BY_ONE = 4096;

// Dates at or below these show nothing (0 and -1 stand for no entry on that side).
constexpr uint32_t LEFT_DATE_SHOWN_ABOVE = 2000;
constexpr uint32_t RIGHT_DATE_SHOWN_ABOVE = 20;

// A locale's long time form without its time zone: DOS date-times are wall-clock times.
QString WithoutTimeZone(const QString& Format) {
    QString out;
    bool quoted = false;
    for (const QChar c : Format) {
        if (c == u'\'') quoted = !quoted;
        if (!quoted && c == u't') continue;
        out.append(c);
    }
    return out.simplified();
}

// Thin vertical lines between the columns. On a selected row the action picture sits on a plate of
// the window colour, as it is, where the style would tint it with the selection colour: arrows in
// the accent colour would vanish into it.
class TGridDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override {
        QStyleOptionViewItem opt = Option;
        initStyleOption(&opt, Index);
        const bool plate = Index.column() == COL_DIRECTION && (opt.state & QStyle::State_Selected) &&
                           (opt.features & QStyleOptionViewItem::HasDecoration);
        if (!plate) {
            QStyledItemDelegate::paint(Painter, Option, Index);
        } else {
            const QWidget* widget = opt.widget;
            QStyle* style = widget ? widget->style() : QApplication::style();
            const QRect picture = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, widget);
            const QPixmap pixmap =
                opt.icon.pixmap(opt.decorationSize, Painter->device()->devicePixelRatioF());
            opt.features &= ~QStyleOptionViewItem::HasDecoration;
            opt.icon = QIcon();
            style->drawControl(QStyle::CE_ItemViewItem, &opt, Painter, widget);
            Painter->save();
            Painter->setRenderHint(QPainter::Antialiasing);
            Painter->setPen(Qt::NoPen);
            Painter->setBrush(QColor(0xFF, 0xFF, 0xFF));
            Painter->drawRoundedRect(QRectF(picture).adjusted(-2, -1, 2, 1), 3, 3);
            Painter->restore();
            style->drawItemPixmap(Painter, picture, Qt::AlignCenter, pixmap);
        }
        Painter->save();
        Painter->setPen(QColor(0xE1, 0xE5, 0xE9));
        Painter->drawLine(Option.rect.topRight(), Option.rect.bottomRight());
        Painter->restore();
    }
};

// Dotted lines joining each row to its folder, under the style's own expand marks.
class TTreeLineStyle : public QProxyStyle {
  public:
    void drawPrimitive(PrimitiveElement Element, const QStyleOption* Option, QPainter* Painter,
                       const QWidget* Widget) const override {
        if (Element != PE_IndicatorBranch) {
            QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
            return;
        }
        const QRect& r = Option->rect;
        const int x = r.left() + r.width() / 2;
        const int y = r.top() + r.height() / 2;
        Painter->save();
        QPen pen(QColor(0xA8, 0xB0, 0xB8));
        pen.setStyle(Qt::DotLine);
        Painter->setPen(pen);
        if (Option->state & State_Item) {
            Painter->drawLine(x, r.top(), x, y);
            Painter->drawLine(x, y, r.right(), y);
        }
        if (Option->state & State_Sibling)
            Painter->drawLine(x, (Option->state & State_Item) ? y : r.top(), x, r.bottom());
        Painter->restore();
        if (Option->state & State_Children) QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
    }
};

void ApplyColumnWidths(QTreeView& View, int From) {
    QHeaderView& header = *View.header();
    const double scale = std::max(1.0, View.fontMetrics().height() / DESIGN_FONT_HEIGHT);
    // A date column is as wide as a wide date in the locale's form, whatever that form's length.
    const QLocale locale;
    const QString wideDate =
        locale.toString(QDate(2088, 12, 28), locale.dateFormat(QLocale::ShortFormat)) + u' ' +
        locale.toString(QTime(23, 58, 58), WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    const int dateWidth = View.fontMetrics().horizontalAdvance(wideDate) + View.fontMetrics().height();
    // A size column holds a size below a terabyte whole, with the separators the model writes.
    QLocale grouped;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    const int sizeWidth = View.fontMetrics().horizontalAdvance(grouped.toString(LARGEST_SIZE_SHOWN_WHOLE)) +
                          View.fontMetrics().height();
    for (int i = From; i < std::min<int>(header.count(), PLAN_COLUMN_COUNT); ++i) {
        int width = static_cast<int>(COLUMN_WIDTHS[static_cast<size_t>(i)] * scale + 0.5);
        if (i == COL_LEFT_DATE || i == COL_RIGHT_DATE) width = std::max(width, dateWidth);
        if (i == COL_LEFT_SIZE || i == COL_RIGHT_SIZE) width = std::max(width, sizeWidth);
        header.resizeSection(i, width);
    }
}

}  // namespace

TPlanModel::TPlanModel(TPlan& Plan, const TImageList& Images, QObject* Parent)
    : QAbstractItemModel(Parent),
      m_Plan(Plan),
      m_Images(Images),
      m_NameBackground(QColor(0xFF, 0xFF, 0xFF)),
      m_LeftBackground(QColor(0xF0, 0xFF, 0xF0)),
      m_RightBackground(QColor(0xF0, 0xFF, 0xFF)),
      m_TextBrush(QColor(0x1F, 0x23, 0x28)) {
    // Sizes always carry thousands separators, also in a locale that leaves them out by default.
    m_Locale.setNumberOptions(m_Locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    m_DateFormat = m_Locale.dateFormat(QLocale::ShortFormat);
    m_TimeFormat = WithoutTimeZone(m_Locale.timeFormat(QLocale::LongFormat));
}

TPlanRow* TPlanModel::RowOf(const QModelIndex& Index) const {
    return Index.isValid() ? static_cast<TPlanRow*>(Index.internalPointer()) : nullptr;
}

QModelIndex TPlanModel::IndexOf(const TPlanRow* Row, int Column) const {
    if (!Row) return {};
    return createIndex(Row->Index, Column, const_cast<TPlanRow*>(Row));
}

QModelIndex TPlanModel::index(int Row, int Column, const QModelIndex& Parent) const {
    if (Row < 0 || Column < 0 || Column >= PLAN_COLUMN_COUNT) return {};
    if (!Parent.isValid()) {
        if (Row != 0 || !m_Plan.RootNode) return {};
        return createIndex(0, Column, m_Plan.RootNode.get());
    }
    const TPlanRow* parent = RowOf(Parent);
    if (Parent.column() != COL_NAME || static_cast<size_t>(Row) >= parent->Children.size()) return {};
    return createIndex(Row, Column, parent->Children[static_cast<size_t>(Row)].get());
}

QModelIndex TPlanModel::parent(const QModelIndex& Child) const {
    const TPlanRow* row = RowOf(Child);
    if (!row || !row->Parent) return {};
    return createIndex(row->Parent->Index, COL_NAME, row->Parent);
}

int TPlanModel::rowCount(const QModelIndex& Parent) const {
    if (!Parent.isValid()) return m_Plan.RootNode ? 1 : 0;
    if (Parent.column() != COL_NAME) return 0;
    return static_cast<int>(RowOf(Parent)->Children.size());
}

int TPlanModel::columnCount(const QModelIndex&) const {
    return PLAN_COLUMN_COUNT;
}

bool TPlanModel::hasChildren(const QModelIndex& Parent) const {
    return rowCount(Parent) > 0;
}

Qt::ItemFlags TPlanModel::flags(const QModelIndex& Index) const {
    const TPlanRow* row = RowOf(Index);
    if (!row) return Qt::NoItemFlags;
    // Rows never gain children between two resets; saying so spares the view a look at every row
    // when it expands them all.
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (row->Children.empty()) f |= Qt::ItemNeverHasChildren;
    return f;
}

QVariant TPlanModel::data(const QModelIndex& Index, int Role) const {
    const TPlanRow* row = RowOf(Index);
    return row ? Value(*row, Index.column(), Role) : QVariant();
}

void TPlanModel::multiData(const QModelIndex& Index, QModelRoleDataSpan RoleDataSpan) const {
    const TPlanRow* row = RowOf(Index);
    for (QModelRoleData& d : RoleDataSpan)
        d.setData(row ? Value(*row, Index.column(), d.role()) : QVariant());
}

QVariant TPlanModel::Value(const TPlanRow& Row, int Column, int Role) const {
    const TResultNodeData& d = Row.Data;
    switch (Role) {
        case Qt::DisplayRole: {
            QString text = CellText(d, Column);
            return text.isEmpty() ? QVariant() : QVariant(text);
        }
        case Qt::DecorationRole: {
            const int32_t image =
                Column == COL_NAME ? d.ImageIndex : (Column == COL_DIRECTION ? DirectionImage(d) : -1);
            if (image < 0) return {};
            const QPixmap pixmap = m_Images.Pixmap(image);
            return pixmap.isNull() ? QVariant() : QVariant(pixmap);
        }
        case Qt::BackgroundRole:
            if (Column == COL_NAME) return m_NameBackground;
            if (Column >= COL_LEFT_DATE && Column <= COL_LTOR) return m_LeftBackground;
            if (Column >= COL_RTOL) return m_RightBackground;
            return {};
        case Qt::ForegroundRole:
            // The cells have light backgrounds of their own, whatever the desktop's colours.
            return m_TextBrush;
        case Qt::TextAlignmentRole:
            if (Column == COL_LEFT_SIZE || Column == COL_RIGHT_SIZE || Column == COL_LTOR ||
                Column == COL_RTOL)
                return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
            return {};
        default:
            return {};
    }
}

QVariant TPlanModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole || Section < 0 ||
        Section >= PLAN_COLUMN_COUNT)
        return {};
    return QString::fromStdString(SysConfig().GetText(COLUMN_TITLE_KEYS[static_cast<size_t>(Section)]));
}

void TPlanModel::Reset(const std::function<void()>& Rebuild) {
    beginResetModel();
    if (Rebuild) Rebuild();
    endResetModel();
}

void TPlanModel::RowChanged(const TPlanRow& Row, bool WithRowsBelow) {
    emit dataChanged(IndexOf(&Row, COL_NAME), IndexOf(&Row, PLAN_COLUMN_COUNT - 1));
    if (!WithRowsBelow) return;
    // One change per folder of rows. A view finds every changed row among its own, which costs
    // about a microsecond a row: past a few thousand rows, telling the views to lay the rows out
    // again is cheaper (no row moves, so expansion, selection and position stay).
    std::vector<std::pair<const TPlanRow*, const TPlanRow*>> ranges;
    size_t rows = 0;
    std::vector<const TPlanRow*> pending{&Row};
    while (!pending.empty() && rows <= ROWS_CHANGED_ONE_BY_ONE) {
        const TPlanRow* row = pending.back();
        pending.pop_back();
        if (row->Children.empty()) continue;
        ranges.emplace_back(row->Children.front().get(), row->Children.back().get());
        rows += row->Children.size();
        for (const auto& child : row->Children)
            if (!child->Children.empty()) pending.push_back(child.get());
    }
    if (rows > ROWS_CHANGED_ONE_BY_ONE) {
        emit layoutAboutToBeChanged();
        emit layoutChanged();
        return;
    }
    for (const auto& [first, last] : ranges)
        emit dataChanged(IndexOf(first, COL_NAME), IndexOf(last, PLAN_COLUMN_COUNT - 1));
}

void TPlanModel::RowsChanged(const std::vector<const TPlanRow*>& Rows) {
    // A walk reports rows in plan order, so runs of siblings are long: each becomes one change, and a
    // view repaints what it shows of the span instead of looking up every row.
    size_t first = 0;
    while (first < Rows.size()) {
        const TPlanRow* parent = Rows[first]->Parent;
        int32_t low = Rows[first]->Index, high = low;
        size_t next = first + 1;
        for (; next < Rows.size() && Rows[next]->Parent == parent; ++next) {
            low = std::min(low, Rows[next]->Index);
            high = std::max(high, Rows[next]->Index);
        }
        if (parent)
            emit dataChanged(
                IndexOf(parent->Children[static_cast<size_t>(low)].get(), COL_NAME),
                IndexOf(parent->Children[static_cast<size_t>(high)].get(), PLAN_COLUMN_COUNT - 1));
        else
            emit dataChanged(IndexOf(Rows[first], COL_NAME), IndexOf(Rows[first], PLAN_COLUMN_COUNT - 1));
        first = next;
    }
}

QString TPlanModel::CellText(const TResultNodeData& d, int Column) const {
    switch (static_cast<TPlanColumn>(Column)) {
        case COL_NAME:
            return QString::fromStdString(d.Name);
        case COL_LEFT_DATE:
            // Dates compare as unsigned DOS date-times: from 2044 on they are negative as int32.
            return d.LeftDate != -1 && static_cast<uint32_t>(d.LeftDate) > LEFT_DATE_SHOWN_ABOVE
                       ? DateText(d.LeftDate)
                       : QString();
        case COL_LEFT_SIZE:
            return d.LeftSize > 0 ? m_Locale.toString(static_cast<qlonglong>(d.LeftSize)) : QString();
        case COL_LEFT_ATTR:
            return d.LeftAttr > 0 ? AttributeLetters(d.LeftAttr) : QString();
        case COL_LTOR:
            return d.LtoRCount != 0 ? QString::number(d.LtoRCount) : QString();
        case COL_DIRECTION:
            return {};
        case COL_RTOL:
            return d.RtoLCount != 0 ? QString::number(d.RtoLCount) : QString();
        case COL_RIGHT_DATE:
            return d.RightDate != -1 && static_cast<uint32_t>(d.RightDate) > RIGHT_DATE_SHOWN_ABOVE
                       ? DateText(d.RightDate)
                       : QString();
        case COL_RIGHT_SIZE:
            return d.RightSize > 0 ? m_Locale.toString(static_cast<qlonglong>(d.RightSize)) : QString();
        case COL_RIGHT_ATTR:
            return d.RightAttr >= 1 ? AttributeLetters(d.RightAttr) : QString();
        case PLAN_COLUMN_COUNT:
            break;
    }
    return {};
}

QString TPlanModel::DateText(int32_t DosDate) const {
    const auto v = static_cast<uint32_t>(DosDate);
    const QDate date(1980 + static_cast<int>(v >> 25), static_cast<int>((v >> 21) & 15),
                     static_cast<int>((v >> 16) & 31));
    const QTime time(static_cast<int>((v >> 11) & 31), static_cast<int>((v >> 5) & 63),
                     static_cast<int>(v & 31) * 2);
    if (!date.isValid() || !time.isValid()) return {};
    return m_Locale.toString(date, m_DateFormat) + u' ' + m_Locale.toString(time, m_TimeFormat);
}

int32_t TPlanModel::DirectionImage(const TResultNodeData& d) {
    for (const TDirectionImage& e : DIRECTION_IMAGES)
        if (e.Action == d.Action) return e.Image;
    if (d.IsFolder && (d.Action == ACTION_NONE || (d.ResultNode && !d.ResultNode->Children.empty())))
        return IMAGE_FOLDER_MARK;
    return -1;
}

QString TPlanModel::AttributeLetters(int32_t Attr) {
    QString s;
    if (Attr & FILE_ATTRIBUTE_HIDDEN) s += u'H';
    if (Attr & FILE_ATTRIBUTE_READONLY) s += u'R';
    if (Attr & FILE_ATTRIBUTE_SYSTEM) s += u'S';
    if (Attr & FILE_ATTRIBUTE_ARCHIVE) s += u'A';
    return s;
}

void SetupPlanView(QTreeView& View) {
    View.setUniformRowHeights(true);
    View.setSelectionMode(QAbstractItemView::SingleSelection);
    View.setSelectionBehavior(QAbstractItemView::SelectRows);
    View.setAllColumnsShowFocus(true);
    View.setRootIsDecorated(true);
    View.setItemsExpandable(true);
    View.setAnimated(false);
    View.setIconSize(QSize(16, 16));
    View.setItemDelegate(new TGridDelegate(&View));
    auto* style = new TTreeLineStyle;
    style->setParent(&View);  // the view refers to its style through a guarded pointer
    View.setStyle(style);

    QHeaderView& header = *View.header();
    header.setSectionsMovable(true);
    header.setSectionResizeMode(QHeaderView::Interactive);
    header.setStretchLastSection(false);
    header.setHighlightSections(false);
    // The header has its sections once a model is set: widths are given to the sections there are
    // and to those that appear later.
    ApplyColumnWidths(View, 0);
    QObject::connect(&header, &QHeaderView::sectionCountChanged, &View,
                     [&View](int OldCount, int) { ApplyColumnWidths(View, OldCount); });
}

}  // namespace bfs
