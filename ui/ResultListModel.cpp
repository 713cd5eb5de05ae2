#include "ui/ResultListModel.h"

#include "platform/TextEncoding.h"
#include "tools/GeneralTools.h"

#include <QBrush>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include <charconv>

namespace {
const QColor kReferenceText(0x80, 0x80, 0x80);

std::optional<QColor> colourOf(const std::string& text) {
    try {
        std::uint32_t value = HexToTColor(text);
        return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                      static_cast<int>((value >> 16) & 0xFF));
    } catch (const ConversionError&) {
        return std::nullopt;
    }
}

// A name as the list shows it: control characters (a line feed, a tab) as the pictures that
// stand for them, so that every name shows whole on its one line.
QString shownName(const std::string& bytes) {
    QString text = QFile::decodeName(QByteArray::fromStdString(bytes));
    for (QChar& c : text) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7F)
            c = QChar(0x2421);
    }
    return text;
}

// A padlock where a reference row's check box would be: the row cannot be ticked.
const QIcon& lockIcon() {
    static const QIcon icon = [] {
        QPixmap picture(13, 13);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(kReferenceText, 1.6));
        painter.drawArc(QRectF(3.5, 1, 6, 8), 0, 180 * 16);
        painter.drawLine(QPointF(3.5, 5), QPointF(3.5, 6));
        painter.drawLine(QPointF(9.5, 5), QPointF(9.5, 6));
        painter.fillRect(QRectF(2, 6, 9, 6.5), kReferenceText);
        return QIcon(picture);
    }();
    return icon;
}

bool evenGroup(const std::string& caption) {
    int group = 0;
    auto [end, error] = std::from_chars(caption.data(), caption.data() + caption.size(), group);
    return error == std::errc() && end == caption.data() + caption.size() && group % 2 == 0;
}
} // namespace

void ResultListModel::setColours(const std::string& group, const std::string& copied,
                                 const std::string& moved) {
    m_groupColour = colourOf(group);
    m_copiedColour = colourOf(copied);
    m_movedColour = colourOf(moved);
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1), {Qt::BackgroundRole});
}

int ResultListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ResultListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const ResultRow& r = m_rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ColumnGroup:
            return QString::fromStdString(r.caption);
        case ColumnName:
            return shownName(r.name);
        case ColumnSize:
            return QString::fromStdString(r.size);
        case ColumnModified:
            // strftime's text is in the locale's set, which Qt 6 does not decode.
            return QString::fromStdString(fromLocaleCharset(r.modified));
        case ColumnFolder:
            return shownName(r.folder);
        default:
            return {};
        }
    }
    // Names and folders cut short in a narrow column are read whole in the tooltip.
    if (role == Qt::ToolTipRole && index.column() == ColumnName)
        return shownName(r.name);
    if (role == Qt::ToolTipRole && index.column() == ColumnFolder)
        return shownName(r.folder + r.name);
    if (role == Qt::BackgroundRole) {
        std::optional<QColor> colour;
        if (m_groupColour && evenGroup(r.caption))
            colour = m_groupColour;
        if (r.status == "1" && m_copiedColour)
            colour = m_copiedColour;
        if (r.status == "2" && m_movedColour)
            colour = m_movedColour;
        return colour ? QVariant(QBrush(*colour)) : QVariant();
    }
    if (r.reference) {
        // Its file is kept whatever is ticked: grey, slanted, a lock for a check box.
        if (role == Qt::ForegroundRole)
            return QBrush(kReferenceText);
        if (role == Qt::FontRole) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        if (role == Qt::DecorationRole && index.column() == ColumnGroup)
            return lockIcon();
        if (role == Qt::ToolTipRole && index.column() == ColumnGroup)
            return QStringLiteral("In a reference folder: kept, never ticked.");
        return {};
    }
    if (role == Qt::CheckStateRole && index.column() == ColumnGroup)
        return isChecked(index.row()) ? Qt::Checked : Qt::Unchecked;
    return {};
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const captions[] = {"#", "Name", "Size", "Modified", "Folder"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(captions[section])
                                                 : QVariant();
}

Qt::ItemFlags ResultListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == ColumnGroup && !m_rows[static_cast<std::size_t>(index.row())].reference)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

bool ResultListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != ColumnGroup)
        return false;
    setChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

void ResultListModel::setChecked(int index, bool checked) {
    if (m_rows[static_cast<std::size_t>(index)].reference)
        checked = false; // never ticked, whatever asks
    char& slot = m_checked[static_cast<std::size_t>(index)];
    if ((slot != 0) == checked)
        return;
    slot = checked ? 1 : 0;
    QModelIndex cell = this->index(index, ColumnGroup);
    emit dataChanged(cell, cell, {Qt::CheckStateRole});
}

void ResultListModel::markReferences(const std::vector<TFiles>& table) {
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].record < table.size() && table[m_rows[i].record].fReference) {
            m_rows[i].reference = true;
            m_checked[i] = 0;
        }
    }
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

void ResultListModel::setTicks(std::vector<char> ticks) {
    ticks.resize(m_rows.size(), 0);
    for (std::size_t i = 0; i < ticks.size(); ++i)
        ticks[i] = ticks[i] && !m_rows[i].reference;
    m_checked = std::move(ticks);
    if (!m_rows.empty())
        emit dataChanged(index(0, ColumnGroup), index(rowCount() - 1, ColumnGroup),
                         {Qt::CheckStateRole});
}

void ResultListModel::clear() {
    beginResetModel();
    // The room of a large result is given back; the next fill reserves what it needs.
    std::vector<ResultRow>().swap(m_rows);
    std::vector<char>().swap(m_checked);
    endResetModel();
}

void ResultListModel::reserve(std::size_t count) {
    m_rows.reserve(count);
    m_checked.reserve(count);
}

void ResultListModel::appendRows(std::vector<ResultRow> rows) {
    if (rows.empty())
        return;
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()),
                  std::make_move_iterator(rows.end()));
    m_checked.resize(m_rows.size(), 0);
    endInsertRows();
}
