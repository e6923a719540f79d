#include <gtest/gtest.h>

#include "resume_state.hpp"

namespace mapsvc::tiles {
namespace {

const tile_gateway::mercator_box AREA{833000.123456789, 1006000.5, 834238.671, 1017284.8192837465};

seed_walk walk_of() { return seed_walk({{"plots", 8, AREA}, {"beacons", 12, AREA}}, 14, 16); }

TEST(Snapshot, RoundTripsExactly) {
  seed_state s;
  s.signature = "layers=plots,beacons zoom=14-16 area=district:Garki West";
  s.areas = {AREA, {-1e-300, 0, 1.0 / 3, 2e7}};
  s.epoch = 42;
  s.cursor = {1, 17};
  s.pending = {{0, 15, 17000, 15000}, {1, 16, 34001, 30002}};
  s.done = 1234;
  s.skipped = 56;
  s.counts = {1000, 178, 2, 3, 1u << 30};
  const auto back = read_snapshot(write_snapshot(s));
  EXPECT_EQ(back.signature, s.signature);
  ASSERT_EQ(back.areas.size(), 2u);
  EXPECT_EQ(back.areas[0], s.areas[0]);  // bit for bit: the resumed walk must be the same
  EXPECT_EQ(back.areas[1], s.areas[1]);
  EXPECT_EQ(back.epoch, 42u);
  EXPECT_EQ(back.cursor, s.cursor);
  EXPECT_EQ(back.pending, s.pending);
  EXPECT_EQ(back.done, 1234u);
  EXPECT_EQ(back.counts, s.counts);
  EXPECT_FALSE(back.complete);
}

TEST(Snapshot, RefusesWhatIsNotAWholeRecord) {
  seed_state s;
  s.signature = "x";
  const auto text = write_snapshot(s);
  EXPECT_THROW(read_snapshot(""), state_error);
  EXPECT_THROW(read_snapshot("hello\nend\n"), state_error);
  EXPECT_THROW(read_snapshot(text.substr(0, text.size() - 3)), state_error);  // cut
  std::string bad = text;
  bad.insert(bad.find("end\n"), "pending 0 14 x 1\n");
  EXPECT_THROW(read_snapshot(bad), state_error);
  bad = text;
  bad.insert(bad.find("end\n"), "bogus 1\n");
  EXPECT_THROW(read_snapshot(bad), state_error);
}

TEST(Journal, ReplayContinuesWhereTheKilledRunWas) {
  // A run: took two tiles of the first zoom, finished one (with children) and one child (empty).
  auto live = walk_of();
  std::string journal = journal_head(7);
  seed_counts live_counts;
  std::vector<walk_tile> taken;
  for (int i = 0; i < 2; ++i) {
    const auto t = live.next();
    ASSERT_TRUE(t && t->top);
    journal += journal_took(t->tile.layer, *t->top);
    taken.push_back(t->tile);
  }
  live.complete(taken[0], false);
  count(live_counts, tile_outcome::stored, 900);
  journal += journal_done(taken[0], tile_outcome::stored, 900);
  const auto child = live.next();
  ASSERT_TRUE(child && !child->top);
  live.complete(child->tile, true);
  count(live_counts, tile_outcome::empty, 0);
  journal += journal_done(child->tile, tile_outcome::empty, 0);

  // The snapshot was taken before any of it (epoch 7); replaying reaches the live state.
  auto resumed = walk_of();
  seed_counts counts;
  EXPECT_EQ(replay_journal(journal, 7, resumed, counts), 4u);
  EXPECT_EQ(counts, live_counts);
  EXPECT_EQ(resumed.cursor(), live.cursor());
  EXPECT_EQ(resumed.done(), live.done());
  auto a = resumed.pending(), b = live.pending();
  auto order = [](const walk_tile& x, const walk_tile& y) {
    return std::tie(x.layer, x.z, x.x, x.y) < std::tie(y.layer, y.z, y.x, y.y);
  };
  std::sort(a.begin(), a.end(), order);
  std::sort(b.begin(), b.end(), order);
  EXPECT_EQ(a, b);  // taken[1] (in flight) and the first tile's other children
  EXPECT_NE(std::find(a.begin(), a.end(), taken[1]), a.end());
  EXPECT_EQ(std::find(a.begin(), a.end(), child->tile), a.end());
}

TEST(Journal, OtherEpochsAndCutLinesAreIgnored) {
  auto w = walk_of();
  seed_counts c;
  EXPECT_EQ(replay_journal(journal_head(6) + journal_took(0, 0), 7, w, c), 0u);
  EXPECT_EQ(replay_journal("", 7, w, c), 0u);
  // A cut last line (the process died within a write) ends the replay; so does garbage.
  auto v = walk_of();
  const auto t = v.top_tile(0, 0);
  std::string j = journal_head(7) + journal_took(0, 0) + journal_done(t, tile_outcome::stored, 5);
  EXPECT_EQ(replay_journal(j.substr(0, j.size() - 2), 7, v, c), 1u);
  auto u = walk_of();
  EXPECT_EQ(replay_journal(journal_head(7) + "d 0 14 1 2 q 0\n" + journal_took(0, 0), 7, u, c), 0u);
  // A tile done that was never taken is not applied.
  auto x = walk_of();
  EXPECT_EQ(replay_journal(journal_head(7) + journal_done(t, tile_outcome::stored, 1), 7, x, c), 0u);
}

}  // namespace
}  // namespace mapsvc::tiles
