#pragma once

#include "search/ResultRows.h"

#include <QAbstractTableModel>
#include <QColor>

#include <optional>
#include <string>

#include <vector>

// The rows of the result list: the group number with a check box, name, size, date and folder.
// The digest and status ride along unseen. Rows arrive in batches.
class ResultListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColumnGroup, ColumnName, ColumnSize, ColumnModified, ColumnFolder, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // The row colours from their colour texts; a text that does not convert leaves such rows in
    // the list's own background.
    void setColours(const std::string& group, const std::string& copied, const std::string& moved);

    void clear();
    void appendRows(std::vector<ResultRow> rows);
    void reserve(std::size_t count);

    const ResultRow& row(int index) const { return m_rows[static_cast<std::size_t>(index)]; }
    bool isChecked(int index) const { return m_checked[static_cast<std::size_t>(index)] != 0; }
    void setChecked(int index, bool checked);
    // Rows whose records have become reference ones take their look and lose their ticks.
    void markReferences(const std::vector<TFiles>& table);
    // One tick per row, all at once.
    void setTicks(std::vector<char> ticks);
    const std::vector<ResultRow>& rows() const { return m_rows; }
    const std::vector<char>& ticks() const { return m_checked; }

private:
    std::optional<QColor> m_groupColour;
    std::optional<QColor> m_copiedColour;
    std::optional<QColor> m_movedColour;
    std::vector<ResultRow> m_rows;
    std::vector<char> m_checked;
};
