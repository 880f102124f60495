// The result list behind ListView1: one row per deleted file, six texts and a
// tick each. Texts are held in the user's 8-bit code page, packed into shared
// pages, so that a million rows stay small and sort quickly.
#pragma once

#include <QAbstractTableModel>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

// The six texts of a result row, in column order, in the 8-bit code page.
struct RowTexts {
    std::string caption;  // "0x" + record position
    std::string name;
    std::string type;
    std::string size;
    std::string created;
    std::string modified;
};

// Byte-wise text order of the list: a-z fold to A-Z, every other byte (the
// bytes of double-byte characters included) compares by its value; when one
// text is a prefix of the other the shorter comes first.
int CompareTextAscii(std::string_view a, std::string_view b);

// QString <-> the 8-bit code page the rows are held in.
QString AnsiToQString(std::string_view text);
std::string QStringToAnsi(const QString& text);

class ResultModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 6;

    explicit ResultModel(QObject* parent = nullptr);
    ~ResultModel() override;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Rows are appended unticked, after the rows already there.
    void AppendRows(const std::vector<RowTexts>& rows);
    void Clear();

    int Count() const { return static_cast<int>(rows_.size()); }
    std::string_view Text(int row, int column) const;
    bool Checked(int row) const { return rows_[static_cast<std::size_t>(row)].checked; }
    void SetChecked(int row, bool checked);
    void SetAllChecked(bool checked);
    void InvertChecks();
    int CheckedCount() const { return checkedCount_; }
    // Bytes held for the rows.
    std::size_t MemoryUse() const { return rows_.capacity() * sizeof(Row) + pageBytes_; }

    // Sorts by the texts of `column` in ascending CompareTextAscii order; rows
    // that compare equal keep their order.
    void SortByColumn(int column);

    // Column captions and widths of the list.
    static const char* ColumnCaption(int column);
    static int ColumnWidth(int column);

private:
    struct Row {
        const char* text = nullptr;                 // the six texts, back to back
        std::array<std::uint16_t, kColumns> end{};  // end of each text in `text`
        bool checked = false;
    };

    Row Pack(const std::array<std::string_view, kColumns>& texts);
    char* Allocate(std::size_t bytes);
    std::string_view TextOf(const Row& row, int column) const;
    void EmitChecksChanged();

    std::vector<Row> rows_;
    std::vector<std::unique_ptr<char[]>> pages_;
    std::size_t pageFree_ = 0;
    std::size_t pageBytes_ = 0;
    char* pageNext_ = nullptr;
    int checkedCount_ = 0;
};

}  // namespace qm::gui
