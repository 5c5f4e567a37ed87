// Event manager: queueing, merging, priorities, overflow and delivery from the scheduler.

#include "core/Clock.h"
#include "core/MEventManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Journal = std::vector<std::string>;

class Listener : public MEventCallback {
public:
    Listener(std::string name, Journal& journal) : m_name(std::move(name)), m_journal(journal) {}
    int OnEvent(int id, int count, void* data, int value) override {
        m_journal.push_back(m_name + ":" + std::to_string(id) + "x" + std::to_string(count) + "=" +
                            std::to_string(value));
        lastData = data;
        if (onEvent) onEvent(id);
        return 0;
    }
    void* lastData = nullptr;
    std::function<void(int)> onEvent;

private:
    std::string m_name;
    Journal& m_journal;
};

class EventManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(GetEventManager(false), nullptr) << "another test left a manager"; }
    void TearDown() override { ShutdownEventManager(); }

    MEventManager& em() { return *GetEventManager(true); }

    FakeClock clock{1'000'000.0L};
    ScopedClock useClock{clock};
    MTaskManager tm;
    Journal journal;
};

TEST_F(EventManagerTest, SchedulerDeliversEveryFiveMilliseconds) {
    Listener l("l", journal);
    ASSERT_TRUE(em().Subscribe(&l, 2, 0));
    em().Raise(2, nullptr, 7);
    EXPECT_EQ(em().Pending(), 1);
    EXPECT_FALSE(tm.RunNext()) << "raising only queues";

    clock.AdvanceMs(10.5);
    EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(journal, (Journal{"l:2x1=7"}));
    EXPECT_EQ(em().Pending(), 0);

    em().Raise(2, nullptr, 8);
    clock.AdvanceMs(2);
    EXPECT_FALSE(tm.RunNext());
    clock.AdvanceMs(3.1);
    EXPECT_TRUE(tm.RunNext());
    EXPECT_EQ(journal.size(), 2u);
}

TEST_F(EventManagerTest, ListenersRunInPriorityThenSubscriptionOrder) {
    struct Case {
        const char* name;
        int priority;
    };
    const std::vector<Case> subscriptions = {{"a", 2}, {"b", 1}, {"c", 2}, {"d", 0}, {"e", 2}, {"f", -5}};
    std::vector<std::unique_ptr<Listener>> listeners;
    for (const Case& c : subscriptions) {
        listeners.push_back(std::make_unique<Listener>(c.name, journal));
        ASSERT_TRUE(em().Subscribe(listeners.back().get(), 3, c.priority));
    }
    em().Raise(3, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"f:3x1=0", "d:3x1=0", "b:3x1=0", "a:3x1=0", "c:3x1=0", "e:3x1=0"}));
}

TEST_F(EventManagerTest, IdenticalPendingEventsAreMerged) {
    Listener l("l", journal);
    em().Subscribe(&l, 1, 10);
    em().Subscribe(&l, 3, 10);
    int p = 0, a = 0, b = 0;
    em().Raise(1, &p, 0);
    em().Raise(3, &a, 0);
    em().Raise(1, &p, 0);
    em().Raise(3, &b, 0); // other data: a delivery of its own
    em().Raise(1, &p, 1); // other value: a delivery of its own
    em().Raise(1, &p, 0);
    EXPECT_EQ(em().Pending(), 4);
    em().Run();
    EXPECT_EQ(journal, (Journal{"l:1x3=0", "l:3x1=0", "l:3x1=0", "l:1x1=1"}));

    // Once delivered, the same event starts a new entry.
    journal.clear();
    em().Raise(1, &p, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"l:1x1=0"}));
}

TEST_F(EventManagerTest, EventWithoutListenersIsDropped) {
    Listener l("l", journal);
    em().Subscribe(&l, 4, 0);
    em().Raise(9, nullptr, 1);
    em().Raise(4, nullptr, 2);
    em().Run();
    EXPECT_EQ(journal, (Journal{"l:4x1=2"}));
    EXPECT_EQ(em().Pending(), 0);
    EXPECT_EQ(em().FindContainer(9), nullptr);
}

TEST_F(EventManagerTest, OverflowKeepsOnlyTheNewestEvent) {
    Listener l("l", journal);
    em().Subscribe(&l, 2, 0);
    for (int i = 0; i < MEventManager::kQueueCapacity - 1; ++i) em().Raise(2, nullptr, i);
    EXPECT_EQ(em().Pending(), MEventManager::kQueueCapacity - 1);
    em().Raise(2, nullptr, 5000);
    EXPECT_EQ(em().Pending(), 1);
    em().Run();
    EXPECT_EQ(journal, (Journal{"l:2x1=5000"}));
}

TEST_F(EventManagerTest, EventsRaisedDuringDeliveryFollowInTheSameRun) {
    Listener filter("filter", journal), sink("sink", journal);
    filter.onEvent = [&](int id) {
        if (id == 2) em().Raise(3, nullptr, 0);
    };
    em().Subscribe(&filter, 2, 1);
    em().Subscribe(&sink, 3, 1);
    em().Subscribe(&sink, 5, 1);
    em().Raise(2, nullptr, 0);
    em().Raise(5, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"filter:2x1=0", "sink:5x1=0", "sink:3x1=0"}));
    EXPECT_EQ(em().Pending(), 0);
}

TEST_F(EventManagerTest, UnsubscribeRemovesTheFirstEntryPerId) {
    Listener twice("twice", journal), stranger("stranger", journal);
    em().Subscribe(&twice, 1, 0);
    em().Subscribe(&twice, 1, 0);
    em().Subscribe(&twice, 2, 0);
    em().Unsubscribe(&stranger); // never subscribed: nothing changes
    EXPECT_EQ(em().FindContainer(1)->Count(), 2);

    em().Raise(1, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"twice:1x1=0", "twice:1x1=0"})) << "no duplicate check";

    em().Unsubscribe(&twice);
    EXPECT_EQ(em().FindContainer(1)->Count(), 1);
    ASSERT_NE(em().FindContainer(2), nullptr) << "an emptied container stays";
    EXPECT_EQ(em().FindContainer(2)->Count(), 0);
}

TEST_F(EventManagerTest, DestroyedListenerIsUnsubscribed) {
    Listener stays("stays", journal);
    em().Subscribe(&stays, 1, 5);
    {
        Listener gone("gone", journal);
        em().Subscribe(&gone, 1, 1);
    }
    em().Raise(1, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"stays:1x1=0"}));
}

TEST_F(EventManagerTest, ListenersOutliveTheManager) {
    auto early = std::make_unique<Listener>("early", journal);
    em().Subscribe(early.get(), 1, 0);
    em().Raise(1, nullptr, 0);
    ShutdownEventManager();
    EXPECT_EQ(GetEventManager(false), nullptr);
    early.reset(); // its destructor finds no manager and does nothing

    // A new manager starts empty: no listeners, no pending events.
    Listener late("late", journal);
    EXPECT_EQ(em().FindContainer(1), nullptr);
    EXPECT_EQ(em().Pending(), 0);
    em().Subscribe(&late, 1, 0);
    em().Raise(1, nullptr, 3);
    em().Run();
    EXPECT_EQ(journal, (Journal{"late:1x1=3"}));
}

// Listeners that change the subscriptions of the event being delivered.
TEST_F(EventManagerTest, SubscriptionChangesDuringDeliveryNeitherSkipNorRepeat) {
    Listener a("a", journal), b("b", journal), c("c", journal), early("early", journal);
    em().Subscribe(&a, 1, 1);
    em().Subscribe(&b, 1, 2);
    em().Subscribe(&c, 1, 3);

    // a leaves while being called: b, which moves into its slot, is still called.
    a.onEvent = [&](int) { em().Unsubscribe(&a); };
    em().Raise(1, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"a:1x1=0", "b:1x1=0", "c:1x1=0"}));

    // b adds a listener in front of itself and removes the one after it.
    journal.clear();
    b.onEvent = [&](int) {
        em().Subscribe(&early, 1, 0);
        em().Unsubscribe(&c);
    };
    em().Raise(1, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"b:1x1=0"}));

    journal.clear();
    b.onEvent = nullptr;
    em().Raise(1, nullptr, 0);
    em().Run();
    EXPECT_EQ(journal, (Journal{"early:1x1=0", "b:1x1=0"}));
}

TEST_F(EventManagerTest, DeliveryDoesNotReenter) {
    Listener l("l", journal);
    l.onEvent = [&](int) { em().Run(); };
    em().Subscribe(&l, 1, 0);
    em().Raise(1, nullptr, 0);
    em().Raise(2, nullptr, 0);
    em().Raise(1, nullptr, 1);
    em().Run();
    EXPECT_EQ(journal, (Journal{"l:1x1=0", "l:1x1=1"}));
}

} // namespace
