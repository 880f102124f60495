// The row store and the worker queue behind both faces.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "app/model/RowStore.h"
#include "app/model/UiQueue.h"

namespace qm::window {
namespace {

RowTexts Row(std::string caption, std::string name) {
    return {std::move(caption), std::move(name), "", "1", "", ""};
}

TEST(RowStoreTest, SortMatchesAStableSortByTheListOrder) {
    // Names that share long prefixes, differ only in case, or are prefixes of
    // each other: the sort refines them sixteen bytes at a time.
    std::mt19937 rng(7);
    const std::string prefixes[] = {"", "same-prefix-of-twenty-", "SAME-PREFIX-OF-TWENTY-",
                                    std::string(40, 'x'), "\xB6\xAB"};
    std::vector<RowTexts> rows;
    for (int i = 0; i < 3000; ++i) {
        std::string name = prefixes[rng() % 5];
        for (std::size_t n = rng() % 4; n > 0; --n) name += "aAbZ_\x7F\x81"[rng() % 7];
        rows.push_back(Row("0x" + std::to_string(i), name));
    }
    RowStore store;
    store.AppendRows(rows);
    std::vector<RowTexts> expected = rows;
    std::stable_sort(expected.begin(), expected.end(), [](const RowTexts& a, const RowTexts& b) {
        return CompareTextAscii(a.name, b.name) < 0;
    });
    store.SortByColumn(1);
    ASSERT_EQ(store.Count(), 3000);
    for (int r = 0; r < store.Count(); ++r) {
        ASSERT_EQ(store.Text(r, 0), expected[static_cast<std::size_t>(r)].caption) << r;
    }
}

TEST(RowStoreTest, EveryColumnSortsAsAStableSortByItsComparer) {
    // Folder texts that tie in different places or differ only in case, rows
    // without a folder or with a place past the texts, shares not known.
    const std::vector<std::string> folders = {"/A/b", "/a/B", "/",        "$Orphan",
                                              "/A",   "/A/b", "\xB6\xAB", "/A/b/c"};
    const std::uint8_t shares[] = {0, 100, 75, 75, 1, kRecoverableUnknown, 99};
    std::mt19937 rng(11);
    std::vector<RowTexts> rows;
    for (int i = 0; i < 2000; ++i) {
        RowTexts t = Row("0x" + std::to_string(i), std::string(1 + rng() % 3, "aBc_"[rng() % 4]));
        t.size = std::to_string(rng() % 50);
        t.recoverable = shares[rng() % std::size(shares)];
        const std::uint32_t place = rng() % (folders.size() + 2);
        t.folder = place == folders.size() + 1 ? gui::kNoFolder : place;
        rows.push_back(t);
    }
    RowStore store;
    store.AppendRows(rows);
    store.SetFolders(folders);
    // Each sort starts from the order the last one left.
    for (int column : {7, 6, 3, 6, 1, 7, 0, 2, 4, 5}) {
        SCOPED_TRACE(column);
        std::vector<int> order(static_cast<std::size_t>(store.Count()));
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return store.Compare(a, b, column) < 0; });
        std::vector<std::string> expected;
        for (int r : order) expected.emplace_back(store.Text(r, 0));
        store.SortByColumn(column);
        for (int r = 0; r < store.Count(); ++r)
            ASSERT_EQ(store.Text(r, 0), expected[static_cast<std::size_t>(r)]) << r;
    }
}

TEST(RowStoreTest, FolderAndShareTexts) {
    RowStore store;
    std::vector<RowTexts> rows(5, Row("0x10", "a"));
    const std::uint32_t places[] = {0, 1, 0, gui::kNoFolder, 7};
    const std::uint8_t shares[] = {100, 0, 75, kRecoverableUnknown, 101};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].folder = places[i];
        rows[i].recoverable = shares[i];
    }
    store.AppendRows(rows);
    EXPECT_EQ(store.Text(0, RowStore::kPathColumn), "");  // no folders yet
    store.SetFolders({"/Photos/2024", "$Orphan"});
    const std::string want[][2] = {
        {"/Photos/2024", "100%"}, {"$Orphan", "0%"}, {"/Photos/2024", "75%"}, {"", ""}, {"", ""}};
    for (int r = 0; r < 5; ++r) {
        EXPECT_EQ(store.Text(r, RowStore::kPathColumn), want[r][0]) << r;
        EXPECT_EQ(store.Text(r, RowStore::kRecoverableColumn), want[r][1]) << r;
    }
    // Rows of one folder share its text.
    EXPECT_EQ(store.Text(0, 6).data(), store.Text(2, 6).data());
    // An edited caption leaves both.
    store.SetCaption(2, "0x99");
    EXPECT_EQ(store.Text(2, 6), "/Photos/2024");
    EXPECT_EQ(store.Text(2, 7), "75%");
    // The next scan's rows do not show the last scan's folders.
    store.Clear();
    store.AppendRows({rows[0]});
    EXPECT_EQ(store.Text(0, 6), "");
    EXPECT_EQ(store.Text(0, 8), "");
}

TEST(RowStoreTest, CompareTextAscii) {
    struct Case {
        std::string a, b;
        int sign;
    };
    const Case cases[] = {{"abc", "ABC", 0}, {"a", "b", -1},        {"ab", "a", 1},
                          {"_", "a", 1},     {"_", "A", 1},         {"\x81", "z", 1},
                          {"", "", 0},       {"a\xB6", "A\xB7", -1}};
    for (const Case& c : cases) {
        const int r = CompareTextAscii(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b;
    }
}

TEST(RowStoreTest, CaptionEditKeepsTheTickAndTheOtherTexts) {
    RowStore store;
    store.AppendRows({Row("0x10", "a"), Row("0x11", "b")});
    store.SetChecked(1, true);
    store.SetCaption(1, std::string(5000, '7'));
    EXPECT_EQ(store.Text(1, 0).size(), RowStore::kMaxEditedCaption);
    EXPECT_EQ(store.Text(1, 1), "b");
    EXPECT_TRUE(store.Checked(1));
    EXPECT_EQ(store.CheckedCount(), 1);
    EXPECT_EQ(store.Text(1, RowStore::kColumns), "");
}

class UiQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue_.SetWake([this] {
            std::lock_guard lock(m_);
            ++wakes_;
            cv_.notify_all();
        });
    }
    void WaitForWake() {
        std::unique_lock lock(m_);
        cv_.wait(lock, [this] { return wakes_ > 0; });
    }
    UiQueue queue_;
    std::mutex m_;
    std::condition_variable cv_;
    int wakes_ = 0;
};

TEST_F(UiQueueTest, StepsRunInTheOrderPostedAndNotOnceClosed) {
    std::vector<int> order;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) queue_.Post([&order, i] { order.push_back(i); });
    });
    worker.join();
    WaitForWake();
    queue_.Drain();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    queue_.Close();
    queue_.Post([&order] { order.push_back(9); });
    queue_.Drain();
    queue_.Reopen();
    queue_.Drain();
    EXPECT_EQ(order.size(), 3u);
}

TEST_F(UiQueueTest, ClosingReleasesAWorkerWaitingForAnAnswer) {
    std::optional<int> answer = 1;
    std::thread worker([&] { answer = queue_.Ask<int>([] { return 42; }); });
    WaitForWake();  // the question is queued
    queue_.Close();
    worker.join();
    EXPECT_FALSE(answer);
}

}  // namespace
}  // namespace qm::window
