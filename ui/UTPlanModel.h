#pragma once

#include <QAbstractItemModel>
#include <QBrush>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <functional>

class QTreeView;

namespace bfs {

class TImageList;
class TPlan;
class TPlanRow;
struct TResultNodeData;

// Columns of the plan view.
enum TPlanColumn : int {
    COL_NAME = 0,
    COL_LEFT_DATE = 1,
    COL_LEFT_SIZE = 2,
    COL_LEFT_ATTR = 3,
    COL_LTOR = 4,
    COL_DIRECTION = 5,
    COL_RTOL = 6,
    COL_RIGHT_DATE = 7,
    COL_RIGHT_SIZE = 8,
    COL_RIGHT_ATTR = 9,
    PLAN_COLUMN_COUNT = 10,
};

// The plan view's model: the rows of a TPlan, read in place. An index's internal pointer is its
// TPlanRow and its row number the row's Index, so opening a view of a million rows costs the model
// nothing; texts are made when a row is painted. The plan's first top-level row is the root row
// (the task), every other row lies below it.
//
// The model holds no copy of the rows: whoever rebuilds or discards the plan's rows does so inside
// Reset, and whoever changes a row's fields (a row command, the sync walk through the user-interface
// thread) calls RowChanged. Runs on the user-interface thread only.
class TPlanModel : public QAbstractItemModel {
    Q_OBJECT
  public:
    // Images: the plan images (13 fixed pictures, type icons from 13 on).
    TPlanModel(TPlan& Plan, const TImageList& Images, QObject* Parent = nullptr);

    QModelIndex index(int Row, int Column, const QModelIndex& Parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& Child) const override;
    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& Parent = QModelIndex()) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    void multiData(const QModelIndex& Index, QModelRoleDataSpan RoleDataSpan) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

    // Tells the views that every row may be new: Rebuild (when given) rebuilds or discards the plan's
    // rows between the views letting go of the old rows and reading the new ones. Without Rebuild,
    // the plan must have been rebuilt with nothing read from the model since.
    void Reset(const std::function<void()>& Rebuild = {});
    // Repaints Row in every column; WithRowsBelow also every row below it (after SetNodeAction).
    void RowChanged(const TPlanRow& Row, bool WithRowsBelow = false);
    // Repaints many rows at once: one change per run of rows under one parent, spanning them.
    void RowsChanged(const std::vector<const TPlanRow*>& Rows);
    // The row an index shows; null for an invalid index.
    TPlanRow* RowOf(const QModelIndex& Index) const;
    // The index of Row in Column; invalid for null.
    QModelIndex IndexOf(const TPlanRow* Row, int Column = COL_NAME) const;

    // The text of a column of a row; the date and number forms of the locale the model was made with.
    QString CellText(const TResultNodeData& Row, int Column) const;
    // The direction picture of column 5 by the row's action code; -1 for none.
    static int32_t DirectionImage(const TResultNodeData& Row);
    // "H" hidden, "R" read-only, "S" system, "A" archive, in this order.
    static QString AttributeLetters(int32_t Attr);

  private:
    QVariant Value(const TPlanRow& Row, int Column, int Role) const;
    QString DateText(int32_t DosDate) const;

    TPlan& m_Plan;
    const TImageList& m_Images;
    QLocale m_Locale;
    QString m_DateFormat;
    QString m_TimeFormat;
    QBrush m_NameBackground;
    QBrush m_LeftBackground;
    QBrush m_RightBackground;
    QBrush m_TextBrush;
};

// Lays out a view of a TPlanModel as the task window shows the plan: the ten columns at their
// widths (grown with the font), movable and resizable; whole rows selected, one at a time (a right
// click selects too); tree lines and vertical grid lines; uniform row heights, which a view of a
// million rows needs. Works whether the model is set before or after.
void SetupPlanView(QTreeView& View);

}  // namespace bfs
