#include "app/qt/ResultModel.h"

#include "platform/Platform.h"

namespace qm::gui {

QString AnsiToQString(std::string_view text) {
    const std::string utf8 = qm::AnsiToUtf8(text);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string QStringToAnsi(const QString& text) {
    return qm::Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                               static_cast<std::size_t>(text.size())));
}

ResultModel::ResultModel(QObject* parent)
    : QAbstractTableModel(parent), own_(std::make_unique<window::RowStore>()), store_(*own_) {
    store_.SetListener(this);
}

ResultModel::ResultModel(window::RowStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {
    store_.SetListener(this);
}

ResultModel::~ResultModel() {
    store_.SetListener(nullptr);
}

int ResultModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Count();
}

int ResultModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant ResultModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Count()) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return AnsiToQString(Text(index.row(), index.column()));
        case Qt::CheckStateRole:
            if (index.column() == 0) return Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
            return {};
        default:
            return {};
    }
}

bool ResultModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= Count() || index.column() != 0) return false;
    if (role == Qt::CheckStateRole) {
        SetChecked(index.row(), value.toInt() == Qt::Checked);
        return true;
    }
    if (role == Qt::EditRole) {
        // The caption can be edited in place; the other five texts stay.
        store_.SetCaption(index.row(), QStringToAnsi(value.toString()));
        return true;
    }
    return false;
}

Qt::ItemFlags ResultModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable | Qt::ItemIsEditable;
    return f;
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return QString::fromUtf8(ColumnCaption(section));
}

void ResultModel::BeforeAppend(int first, int last) {
    beginInsertRows(QModelIndex(), first, last);
}

void ResultModel::AfterAppend() {
    endInsertRows();
}

void ResultModel::BeforeReset() {
    beginResetModel();
}

void ResultModel::AfterReset() {
    endResetModel();
}

void ResultModel::ChecksChanged(int first, int last) {
    emit dataChanged(index(first, 0), index(last, 0), {Qt::CheckStateRole});
}

void ResultModel::TextChanged(int row, int column) {
    const QModelIndex i = index(row, column);
    emit dataChanged(i, i, {Qt::DisplayRole, Qt::EditRole});
}

void ResultModel::ColumnChanged(int column) {
    if (Count() == 0) return;
    emit dataChanged(index(0, column), index(Count() - 1, column), {Qt::DisplayRole, Qt::EditRole});
}

void ResultModel::BeforeSort() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultModel::AfterSort(const std::vector<int>& newPlace) {
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& i : before)
        after.append(index(newPlace[static_cast<std::size_t>(i.row())], i.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace qm::gui
