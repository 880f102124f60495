// ListView1's Qt model: shows the rows of the window model's row store and
// passes ticks and caption edits back to it.
#pragma once

#include <QAbstractTableModel>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/model/RowStore.h"

namespace qm::gui {

using window::CompareTextAscii;

// QString <-> the 8-bit code page the rows are held in.
QString AnsiToQString(std::string_view text);
std::string QStringToAnsi(const QString& text);

class ResultModel : public QAbstractTableModel, private window::RowStoreListener {
    Q_OBJECT
public:
    static constexpr int kColumns = window::RowStore::kColumns;

    // Over `store`, which must outlive the model; without one, over a store of its own.
    explicit ResultModel(QObject* parent = nullptr);
    ResultModel(window::RowStore& store, QObject* parent);
    ~ResultModel() override;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The store's commands; the view follows through the store's notices.
    void AppendRows(const std::vector<RowTexts>& rows) { store_.AppendRows(rows); }
    void SetFolders(const std::vector<std::string>& folders) { store_.SetFolders(folders); }
    void Clear() { store_.Clear(); }
    int Count() const { return store_.Count(); }
    std::string_view Text(int row, int column) const { return store_.Text(row, column); }
    bool Checked(int row) const { return store_.Checked(row); }
    void SetChecked(int row, bool checked) { store_.SetChecked(row, checked); }
    void SetAllChecked(bool checked) { store_.SetAllChecked(checked); }
    void InvertChecks() { store_.InvertChecks(); }
    int CheckedCount() const { return store_.CheckedCount(); }
    std::size_t MemoryUse() const { return store_.MemoryUse(); }
    void SortByColumn(int column) { store_.SortByColumn(column); }

    static const char* ColumnCaption(int column) { return window::RowStore::ColumnCaption(column); }
    static int ColumnWidth(int column) { return window::RowStore::ColumnWidth(column); }

private:
    // RowStoreListener
    void BeforeAppend(int first, int last) override;
    void AfterAppend() override;
    void BeforeReset() override;
    void AfterReset() override;
    void ChecksChanged(int first, int last) override;
    void TextChanged(int row, int column) override;
    void ColumnChanged(int column) override;
    void BeforeSort() override;
    void AfterSort(const std::vector<int>& newPlace) override;

    std::unique_ptr<window::RowStore> own_;
    window::RowStore& store_;
};

}  // namespace qm::gui
