// Scheduler core and main loop tick, driven by a fake clock.

#include "core/Clock.h"
#include "core/MTaskManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Records its runs into a shared journal so the order across tasks is visible.
class JournalTask : public MTaskBase {
public:
    JournalTask(std::string name, std::vector<std::string>& journal)
        : m_name(std::move(name)), m_journal(journal) {}
    void Run() override {
        ++runs;
        m_journal.push_back(m_name);
        if (onRun) onRun();
    }
    int runs = 0;
    std::function<void()> onRun;

private:
    std::string m_name;
    std::vector<std::string>& m_journal;
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(core().Count(), 0) << "another test left tasks in the scheduler"; }

    MTmCore& core() { return tm.Core(); }
    void AdvanceMs(double ms) { clock.AdvanceMs(ms); }
    int Tick() {
        return MainTasksTick(tm, [this] { ++messageRounds; });
    }
    // Ticks until nothing runs any more; returns the runs.
    int Drain() {
        int total = 0;
        for (int guard = 0; guard < 10000; ++guard) {
            const int runs = Tick();
            if (runs == 0) break;
            total += runs;
        }
        return total;
    }

    FakeClock clock{1'000'000.0L}; // 1000 ms
    ScopedClock useClock{clock};
    MTaskManager tm;
    std::vector<std::string> journal;
    int messageRounds = 0;
};

TEST_F(SchedulerTest, NoTasksTickOnlyProcessesMessages) {
    EXPECT_FALSE(tm.RunNext());
    EXPECT_EQ(Tick(), 0);
    EXPECT_EQ(messageRounds, 1);
    EXPECT_EQ(MainTasksTick(tm, nullptr, nullptr), 0);
}

TEST_F(SchedulerTest, FirstRunTenMillisecondsAfterTheWholeMillisecondOfAdding) {
    clock.Set(1'000'700.0L); // 1000.7 ms: whole millisecond 1000
    JournalTask task("a", journal);
    tm.AddTask(&task, 0, 20);
    EXPECT_DOUBLE_EQ(core().Item(0).next, 1010.0);

    clock.Set(1'010'000.0L); // exactly due, not late: nothing yet
    EXPECT_FALSE(tm.RunNext());
    clock.Set(1'010'001.0L);
    EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(task.runs, 1);
    EXPECT_FALSE(tm.RunNext()) << "one run per period";

    // Fixed rate: running late within a period does not shift the schedule.
    clock.Set(1'029'900.0L);
    EXPECT_FALSE(tm.RunNext());
    clock.Set(1'045'000.0L); // 15 ms late
    EXPECT_TRUE(tm.RunNext());
    clock.Set(1'050'500.0L); // next due at 1050, not 1065
    EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(task.runs, 3);
}

TEST_F(SchedulerTest, AddingFarIntoTheClockStillWaitsTenMilliseconds) {
    // 2^32 ms and a bit: cutting the clock to 32 bits would make the task look a second late.
    clock.Set(4'294'967'296'000.0L + 5'000'000.0L);
    JournalTask task("a", journal);
    tm.AddTask(&task, 0, 20);
    EXPECT_EQ(Drain(), 0);
    AdvanceMs(10.5);
    EXPECT_EQ(Drain(), 1);
}

TEST_F(SchedulerTest, BlockedTaskCatchesUpAtMostOneSecond) {
    JournalTask fast("fast", journal), other("other", journal);
    tm.AddTask(&fast, 0, 20);
    tm.AddTask(&other, 0, 300);
    AdvanceMs(10.5);
    Drain();
    const int fastBefore = fast.runs;
    const int otherBefore = other.runs;

    AdvanceMs(5000); // the main thread was blocked for 5 s
    journal.clear();
    std::vector<int> perTick;
    for (int runs; (runs = Tick()) > 0;) perTick.push_back(runs);

    // 1000 ms of backlog in 20 ms steps, both tasks interleaved in rotation.
    EXPECT_EQ(fast.runs - fastBefore, 50);
    EXPECT_EQ(other.runs - otherBefore, 4); // 1000 ms / 300 ms, rounded up
    for (int runs : perTick) EXPECT_LE(runs, kMaxRunsPerTick);
    EXPECT_EQ(perTick.front(), kMaxRunsPerTick);
    ASSERT_GE(journal.size(), 4u);
    EXPECT_EQ(journal[0], "other") << "the rotation starts after the cursor";
    EXPECT_EQ(journal[1], "fast");
    EXPECT_EQ(journal[2], "other");
    EXPECT_EQ(journal[3], "fast");
}

TEST_F(SchedulerTest, DeletingRemovedEntriesCountsAsRuns) {
    std::vector<std::unique_ptr<JournalTask>> tasks;
    for (int i = 0; i < 12; ++i) {
        tasks.push_back(std::make_unique<JournalTask>(std::to_string(i), journal));
        tm.AddTask(tasks.back().get(), 0, 50);
    }
    for (int i = 0; i < 12; i += 2) tm.RemoveTask(tasks[static_cast<size_t>(i)].get());
    AdvanceMs(11);

    EXPECT_EQ(Tick(), kMaxRunsPerTick);
    EXPECT_EQ(messageRounds, 1);
    EXPECT_EQ(core().Count(), 6) << "six removed entries deleted";
    EXPECT_EQ(journal.size(), 5u) << "the other five of eleven were runs";

    EXPECT_EQ(Tick(), 1);
    EXPECT_EQ(journal.size(), 6u);
    for (int i = 0; i < 12; i += 2) EXPECT_EQ(tasks[static_cast<size_t>(i)]->runs, 0);
}

TEST_F(SchedulerTest, TaskRemovingItselfInsideRunIsNotRunAgain) {
    JournalTask self("self", journal), other("other", journal);
    self.onRun = [&] { tm.RemoveTask(&self); };
    tm.AddTask(&other, 0, 20);
    tm.AddTask(&self, 0, 20);
    AdvanceMs(11);
    Drain();
    EXPECT_EQ(self.runs, 1);
    EXPECT_EQ(core().Count(), 1) << "its entry is gone after the next visit";
    for (int i = 0; i < 5; ++i) {
        AdvanceMs(20);
        Drain();
    }
    EXPECT_EQ(self.runs, 1);
    EXPECT_EQ(other.runs, 6);
}

TEST_F(SchedulerTest, DestroyedTaskIsNeverRunEvenWhenAddedTwice) {
    JournalTask keep("keep", journal);
    tm.AddTask(&keep, 0, 20);
    {
        JournalTask twice("twice", journal);
        tm.AddTask(&twice, 0, 20);
        tm.AddTask(&twice, 0, 20);
        AdvanceMs(11);
        Drain();
        EXPECT_EQ(twice.runs, 2) << "two entries run twice per period";
    }
    AdvanceMs(20);
    Drain(); // would call the destroyed task through its second entry
    EXPECT_EQ(keep.runs, 2);
    EXPECT_EQ(core().Count(), 1);
}

TEST_F(SchedulerTest, RemoveTaskTakesOnlyTheFirstEntry) {
    JournalTask twice("twice", journal);
    tm.AddTask(&twice, 0, 20);
    tm.AddTask(&twice, 0, 20);
    tm.RemoveTask(&twice);
    AdvanceMs(11);
    Drain();
    EXPECT_EQ(twice.runs, 1);
    EXPECT_EQ(core().Count(), 1);
}

TEST_F(SchedulerTest, AddOrRemoveRestartsTheRotationAtIndexOne) {
    // Pass-mode tasks are due on every visit, which shows the rotation plainly.
    JournalTask a("a", journal), b("b", journal), c("c", journal), d("d", journal), stranger("x", journal);
    tm.AddTask(&a, 0, 0);
    tm.AddTask(&b, 0, 0);
    tm.AddTask(&c, 0, 0);
    for (int i = 0; i < 4; ++i) tm.RunNext();
    EXPECT_EQ(journal, (std::vector<std::string>{"b", "c", "a", "b"}));

    journal.clear();
    tm.AddTask(&d, 0, 0);
    tm.RunNext();
    tm.RunNext();
    EXPECT_EQ(journal, (std::vector<std::string>{"b", "c"}));

    journal.clear();
    tm.RemoveTask(&stranger); // not scheduled: only the cursor moves
    EXPECT_EQ(core().Count(), 4);
    EXPECT_EQ(core().Cursor(), 0);
    tm.RunNext();
    EXPECT_EQ(journal, (std::vector<std::string>{"b"}));
}

TEST_F(SchedulerTest, DeletedEntrySkipsTheEntryThatMovesIntoItsPlaceUntilTheWrap) {
    JournalTask a("a", journal), b("b", journal), c("c", journal);
    tm.AddTask(&a, 0, 0);
    tm.AddTask(&b, 0, 0);
    tm.AddTask(&c, 0, 0);
    tm.RemoveTask(&b);
    EXPECT_TRUE(tm.RunNext()); // deletes b at index 1; c moves to index 1
    EXPECT_EQ(core().Count(), 2);
    EXPECT_TRUE(tm.RunNext()); // cursor 2 wraps to 0
    EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(journal, (std::vector<std::string>{"a", "c"}));
}

TEST_F(SchedulerTest, PassModeWithDivisorRunsDuringEveryThirdPass) {
    JournalTask every("every", journal), third("third", journal);
    tm.AddTask(&third, 3, 0);
    std::vector<bool> results;
    for (int i = 0; i < 9; ++i) results.push_back(tm.RunNext());
    // One entry: every call wraps, passes 1..9.
    EXPECT_EQ(results, (std::vector<bool>{false, false, true, false, false, true, false, false, true}));
    EXPECT_EQ(third.runs, 3);
    EXPECT_EQ(core().Pass(), 9u);

    // With a second task the divided one is skipped outside every third pass and the call goes on
    // to the next entry. Passes 10, 11, 12, ... start at the wrap to index 0.
    tm.AddTask(&every, 0, 0);
    journal.clear();
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(journal, (std::vector<std::string>{"every", "every", "every", "third", "every", "every",
                                                 "every", "third"}));
    EXPECT_EQ(core().Pass(), 15u);
}

TEST_F(SchedulerTest, NestedTickReturnsAtOnce) {
    JournalTask a("a", journal);
    tm.AddTask(&a, 0, 0);
    int nestedRuns = -1;
    int rounds = 0;
    const int runs = MainTasksTick(tm, [&] {
        ++rounds;
        nestedRuns = MainTasksTick(tm, [&] { ++rounds; });
    });
    EXPECT_EQ(runs, kMaxRunsPerTick);
    EXPECT_EQ(nestedRuns, 0);
    EXPECT_EQ(rounds, 1) << "the nested tick did not process messages either";
    EXPECT_EQ(Tick(), kMaxRunsPerTick) << "the flag is cleared after the tick";
}

TEST(SchedulerCore, LastHandleDeletesTheCore) {
    ASSERT_FALSE(MTaskManager::CoreExists());
    {
        MTaskManager first;
        MTaskManager copy(first);
        EXPECT_TRUE(MTaskManager::CoreExists());
        EXPECT_EQ(&first.Core(), &copy.Core());
    }
    EXPECT_FALSE(MTaskManager::CoreExists());
}

} // namespace
