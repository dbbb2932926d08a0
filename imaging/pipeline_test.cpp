// Loading boxes ahead: same results as loading on the spot, in order,
// within the window, and nothing kept once the run moves past it.
#include "imaging/pipeline.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "imaging/codec.h"
#include "imaging/render.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::TempTree;

RenderSettings at(double sizePercent) {
  RenderSettings settings;
  settings.sizePercent = sizePercent;
  return settings;
}

bool made(const PreparedThumbnail& prepared) { return prepared.reached != PreparedThumbnail::Reached::NotLoaded; }

// The names of the files in `folder`, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() {
    startImaging();  // the depths GIF writes take
    for (int i = 0; i < 8; ++i) {
      Raster r({40 + i * 8, 30 + i * 4});
      for (std::size_t b = 0; b < r.rgb.size(); ++b) r.rgb[b] = static_cast<std::uint8_t>(b * (i + 3));
        paths.push_back(tree.fileWith("p" + std::to_string(i) + ".bmp", encodeBmp(r).value()));
      pictureNames.push_back("p" + std::to_string(i) + ".bmp");
    }
  }
  std::vector<std::string> pictureNames;
  TempTree tree;
  std::vector<std::string> paths;
};

TEST_F(PipelineTest, ResultsAreThoseOfLoadingOnTheSpot) {
  ThumbnailPipeline prefetcher(3, 4);
  prefetcher.schedule(paths, at(50));
  for (const std::string& path : paths) {
    auto ahead = prefetcher.take(path, at(50));
    auto direct = loadThumbnailBox(path, 50);
    ASSERT_TRUE(made(ahead)) << ahead.outcome.message;
    ASSERT_TRUE(direct);
    EXPECT_EQ(ahead.loaded.box, direct->box) << path;
  }
}

TEST_F(PipelineTest, WorkersStayWithinTheWindow) {
  ThumbnailPipeline prefetcher(4, 3);
  prefetcher.schedule(paths, at(25));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 3u);  // nothing is taken yet: three loaded ahead
  ASSERT_TRUE(made(prefetcher.take(paths[0], at(25))));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 4u);  // the window moved by one
}

TEST_F(PipelineTest, SkippedPicturesAreDroppedAndUnqueuedOnesLoadedOnTheSpot) {
  ThumbnailPipeline prefetcher(2, 8);
  prefetcher.schedule({paths[0], paths[1], paths[2]}, at(25));
  // The run asks for the third first: the first two are dropped.
  ASSERT_TRUE(made(prefetcher.take(paths[2], at(25))));
  ASSERT_TRUE(made(prefetcher.take(paths[0], at(25))));  // no longer queued: loaded now
  // Another size than queued is another box.
  prefetcher.schedule({paths[3]}, at(25));
  auto other = prefetcher.take(paths[3], at(50));
  ASSERT_TRUE(made(other));
  EXPECT_EQ(other.loaded.box.size, loadThumbnailBox(paths[3], 50)->box.size);
  // A picture that cannot be read gives its failure.
  const std::string bad = tree.fileWith("bad.bmp", "BM but not really");
  prefetcher.schedule({bad}, at(25));
  EXPECT_FALSE(made(prefetcher.take(bad, at(25))));
}

TEST_F(PipelineTest, ThumbnailsMadeAheadWaitUnderTemporaryNamesAndNothingUntakenIsLeft) {
  {
    ThumbnailPipeline pipeline(2, 8);
    pipeline.schedule(paths, at(50));
    pipeline.waitIdle();
    // Everything is made, nothing is in place yet.
    EXPECT_EQ(namesIn(tree.root()).size(), 2 * paths.size());
    EXPECT_FALSE(tree.exists("t_p0.jpg"));
    // The run takes the third: the two before it are dropped with their files.
    PreparedThumbnail third = pipeline.take(paths[2], at(50));
    ASSERT_EQ(third.outcome.result, RenderResult::Written) << third.outcome.message;
    ASSERT_FALSE(third.thumbnail.empty());
    EXPECT_EQ(third.thumbnail.path(), tree.path("t_p2.jpg"));
    ASSERT_TRUE(third.thumbnail.commit());
    EXPECT_TRUE(carriesThumbnailStamp(tree.path("t_p2.jpg")));
    EXPECT_EQ(namesIn(tree.root()).size(), 2 * paths.size() - 2);
    // The pipeline goes before the rest is taken.
  }
  std::vector<std::string> left = pictureNames;
  left.push_back("t_p2.jpg");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(namesIn(tree.root()), left);
}


TEST_F(PipelineTest, ChangedSettingsMakeTheQueuedThumbnailsAgain) {
  ThumbnailPipeline pipeline(2, 8);
  pipeline.schedule(paths, at(50));
  pipeline.waitIdle();
  ASSERT_EQ(pipeline.started(), paths.size());
  RenderSettings gif = at(50);
  gif.thumbExt = "gif";
  pipeline.changeSettings(gif);
  pipeline.waitIdle();
  EXPECT_EQ(pipeline.started(), 2 * paths.size());
  for (const std::string& path : paths) {
    PreparedThumbnail prepared = pipeline.take(path, gif);
    ASSERT_EQ(prepared.outcome.result, RenderResult::Written) << prepared.outcome.message;
    EXPECT_EQ(prepared.thumbnail.path(), thumbnailPathFor(path, "t_", "gif"));
    ASSERT_TRUE(prepared.thumbnail.commit());
  }
  EXPECT_EQ(pipeline.started(), 2 * paths.size());  // none was made on the spot
  EXPECT_EQ(namesIn(tree.root()).size(), 2 * paths.size());  // no JPEG made ahead is left
}

TEST_F(PipelineTest, CancelDropsEverythingAndWaitsForTheWorkers) {
  ThumbnailPipeline prefetcher(2, 4);
  prefetcher.schedule(paths, at(100));
  prefetcher.cancel();
  prefetcher.waitIdle();
  const std::size_t startedBefore = prefetcher.started();
  EXPECT_LE(startedBefore, 4u);
  // Nothing queued any more: a take loads on the spot, nothing else starts.
  EXPECT_EQ(namesIn(tree.root()), pictureNames);  // what was made is gone
  ASSERT_TRUE(made(prefetcher.take(paths[5], at(100))));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), startedBefore);
}

TEST_F(PipelineTest, WithoutWorkersEverythingIsLoadedOnTheSpot) {
  ThumbnailPipeline prefetcher(0, 4);
  prefetcher.schedule(paths, at(25));
  EXPECT_EQ(prefetcher.started(), 0u);
  for (const std::string& path : paths) EXPECT_TRUE(made(prefetcher.take(path, at(25))));
  EXPECT_EQ(prefetcher.started(), 0u);
}

TEST_F(PipelineTest, BoxesLoadedAheadStayWithinTheMemoryBudget) {
  // Every box counts 60 units against a budget of 100 until it is taken:
  // only one is loaded ahead at a time.
  ThumbnailPipeline prefetcher(4, 8, 100, [](const std::string&, double) { return LoadEstimate{0, 60}; });
  prefetcher.schedule(paths, at(25));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 1u);
  for (const std::string& path : paths) ASSERT_TRUE(made(prefetcher.take(path, at(25))));
  EXPECT_EQ(prefetcher.peakInUse(), 60u);
  // The picture at the front of the queue runs even when it is larger than
  // the whole budget, once nothing else runs; the next one waits for it.
  ThumbnailPipeline big(2, 4, 100, [](const std::string&, double) { return LoadEstimate{400, 100}; });
  big.schedule({paths[0], paths[1]}, at(25));
  big.waitIdle();
  EXPECT_EQ(big.started(), 1u);
  ASSERT_TRUE(made(big.take(paths[0], at(25))));
  ASSERT_TRUE(made(big.take(paths[1], at(25))));
  EXPECT_EQ(big.peakInUse(), 500u);
}

// Records how many loads run at once and in which order they start; a load
// of a picture named in `held` waits until release() is called.
class LoadRecorder {
 public:
  explicit LoadRecorder(std::vector<std::string> held = {}) : m_held(std::move(held)) {}
  ThumbnailPipeline::Worker loader() {
    return [this](const std::string& path, const RenderSettings& settings) {
      {
        std::unique_lock lock(m_mutex);
        m_starts.push_back(path);
        m_peak = std::max(m_peak, ++m_running);
        m_changed.notify_all();
        if (std::find(m_held.begin(), m_held.end(), path) != m_held.end()) {
          m_changed.wait(lock, [&] { return m_released; });
        }
      }
      // Long enough for other workers to start beside this one if allowed.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      PreparedThumbnail prepared = prepareThumbnail(path, settings, m_start);
      std::lock_guard lock(m_mutex);
      --m_running;
      return prepared;
    };
  }
  bool waitForStarts(std::size_t n) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_starts.size() >= n; });
  }
  void release() {
    std::lock_guard lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }
  std::vector<std::string> starts() {
    std::lock_guard lock(m_mutex);
    return m_starts;
  }
  int peak() {
    std::lock_guard lock(m_mutex);
    return m_peak;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_held;
  std::vector<std::string> m_starts;
  int m_running = 0;
  int m_peak = 0;
  bool m_released = false;
  const ImagingVariables m_start = imagingVariables();
};

TEST_F(PipelineTest, AThumbnailDroppedWhileAWorkerMakesItLeavesNothing) {
  LoadRecorder recorder({paths[0]});
  ThumbnailPipeline pipeline(2, 2, UINT64_MAX, {}, recorder.loader());
  pipeline.schedule({paths[0], paths[1]}, at(50));
  ASSERT_TRUE(recorder.waitForStarts(2));
  // The run skips p0 while its worker is still at it.
  PreparedThumbnail second = pipeline.take(paths[1], at(50));
  second.thumbnail.discard();
  recorder.release();
  pipeline.cancel();
  EXPECT_EQ(namesIn(tree.root()), pictureNames);
}

TEST_F(PipelineTest, LoadsThatDoNotFitTogetherRunOneAtATimeEvenWhenTheRunIsAhead) {
  // Two decoders' working memory do not fit in the budget. The run asks for
  // each picture as soon as it is queued, before any worker has begun it:
  // it waits for a worker instead of loading a second picture at once.
  LoadRecorder recorder;
  ThumbnailPipeline prefetcher(4, 8, 100, [](const std::string&, double) { return LoadEstimate{60, 1}; },
                           recorder.loader());
  for (const std::string& path : paths) {
    prefetcher.schedule({path}, at(25));
    auto box = prefetcher.take(path, at(25));
    ASSERT_TRUE(made(box)) << box.outcome.message;
    EXPECT_EQ(box.loaded.box, loadThumbnailBox(path, 25)->box);
  }
  prefetcher.schedule(paths, at(25));
  for (const std::string& path : paths) ASSERT_TRUE(made(prefetcher.take(path, at(25))));
  EXPECT_EQ(recorder.peak(), 1);
  EXPECT_EQ(recorder.starts().size(), 2 * paths.size());  // nothing was loaded twice
}

TEST_F(PipelineTest, SmallPicturesGoAheadOfALargeOneThatMustWait) {
  // p0 and p1 each need 90 of 100; p2 and p3 need 5. While p0 loads, p1
  // must wait but the small ones start beside it; results come in order.
  LoadRecorder recorder({paths[0]});
  ThumbnailPipeline prefetcher(2, 8, 100,
                           [&](const std::string& path, double) {
                             const bool large = path == paths[0] || path == paths[1];
                             return LoadEstimate{large ? 90u : 4u, 1};
                           },
                           recorder.loader());
  prefetcher.schedule({paths[0], paths[1], paths[2], paths[3]}, at(25));
  ASSERT_TRUE(recorder.waitForStarts(3));
  std::vector<std::string> first = recorder.starts();
  std::sort(first.begin(), first.end());  // workers may reach the loader in either order
  EXPECT_EQ(first, (std::vector<std::string>{paths[0], paths[2], paths[3]}));
  recorder.release();
  for (int i = 0; i < 4; ++i) {
    auto box = prefetcher.take(paths[i], at(25));
    ASSERT_TRUE(made(box));
    EXPECT_EQ(box.loaded.box, loadThumbnailBox(paths[i], 25)->box) << i;
  }
  EXPECT_EQ(recorder.starts().back(), paths[1]);
  EXPECT_LE(prefetcher.peakInUse(), 100u);
}

TEST_F(PipelineTest, ASlowLoadStartsEarlyBesideThePicturesBeforeIt) {
  // p4 needs 60 of 100 and is set to start early; p6 needs 46, too much to
  // run beside p4 but not enough to start early; the others need 5.
  const auto estimate = [&](const std::string& path, double) {
    return LoadEstimate{path == paths[4] ? 59u : path == paths[6] ? 45u : 4u, 1};
  };
  {
    // One worker: p4 goes first, then the others in queue order.
    LoadRecorder recorder;
    ThumbnailPipeline prefetcher(1, 8, 100, estimate, recorder.loader());
    prefetcher.startEarlyFrom(50);
    prefetcher.schedule(paths, at(25));
    for (const std::string& path : paths) ASSERT_TRUE(made(prefetcher.take(path, at(25))));
    EXPECT_EQ(recorder.starts(),
              (std::vector<std::string>{paths[4], paths[0], paths[1], paths[2], paths[3], paths[5], paths[6],
                                        paths[7]}));
  }
  // Two workers, p4 held in its decoder: the pictures before it are loaded
  // and taken meanwhile, and everything else but p6 is loaded ahead.
  LoadRecorder recorder({paths[4]});
  ThumbnailPipeline prefetcher(2, 8, 100, estimate, recorder.loader());
  prefetcher.startEarlyFrom(50);
  prefetcher.schedule(paths, at(25));
  for (int i = 0; i < 4; ++i) {
    auto box = prefetcher.take(paths[i], at(25));
    ASSERT_TRUE(made(box));
    EXPECT_EQ(box.loaded.box, loadThumbnailBox(paths[i], 25)->box) << i;
  }
  ASSERT_TRUE(recorder.waitForStarts(paths.size() - 1));
  std::vector<std::string> ahead = recorder.starts();
  std::sort(ahead.begin(), ahead.end());
  std::vector<std::string> allButP6 = paths;
  allButP6.erase(allButP6.begin() + 6);
  EXPECT_EQ(ahead, allButP6);
  recorder.release();
  for (std::size_t i = 4; i < paths.size(); ++i) {
    auto box = prefetcher.take(paths[i], at(25));
    ASSERT_TRUE(made(box));
    EXPECT_EQ(box.loaded.box, loadThumbnailBox(paths[i], 25)->box) << i;
  }
  EXPECT_EQ(recorder.starts().size(), paths.size());  // each loaded once
  EXPECT_LE(prefetcher.peakInUse(), 100u);
}

TEST_F(PipelineTest, ALoadThatRunsOutOfMemoryFailsOnlyItsPicture) {
  // p1's load and p3's estimate run out of memory, p2's load meets a size
  // beyond what a vector can hold; on workers and on the spot alike each is
  // that picture's failure and the pictures after them still load.
  const auto estimate = [&](const std::string& path, double) {
    if (path == paths[3]) throw std::bad_alloc();
    return LoadEstimate{1, 1};
  };
  const ImagingVariables start = imagingVariables();
  const auto loader = [&](const std::string& path, const RenderSettings& settings) {
    if (path == paths[1]) throw std::bad_alloc();
    if (path == paths[2]) throw std::length_error("vector");
    return prepareThumbnail(path, settings, start);
  };
  for (const unsigned workers : {0u, 1u, 2u}) {
    ThumbnailPipeline prefetcher(workers, 4, 100, estimate, loader);
    prefetcher.schedule(paths, at(25));
    for (std::size_t i = 0; i < paths.size(); ++i) {
      PreparedThumbnail box;
      ASSERT_NO_THROW(box = prefetcher.take(paths[i], at(25))) << workers << " workers, p" << i;
      if (i == 1 || i == 2) {
        ASSERT_FALSE(made(box)) << workers << " workers, p" << i;
        EXPECT_EQ(box.outcome.message, kNoMemoryToLoad);
      } else {
        ASSERT_TRUE(made(box)) << workers << " workers, p" << i << ": " << box.outcome.message;
        EXPECT_EQ(box.loaded.box, loadThumbnailBox(paths[i], 25)->box);
      }
    }
  }
}

TEST_F(PipelineTest, BudgetHeldByASkippedPictureIsGivenBack) {
  ThumbnailPipeline prefetcher(2, 8, 100, [](const std::string&, double) { return LoadEstimate{0, 60}; });
  prefetcher.schedule(paths, at(25));
  prefetcher.waitIdle();
  // The run moves straight to the last picture: what was loaded ahead for
  // the others is dropped and its share of the budget returned.
  ASSERT_TRUE(made(prefetcher.take(paths.back(), at(25))));
  const std::size_t before = prefetcher.started();
  prefetcher.schedule({paths[0], paths[1]}, at(25));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), before + 1);  // the first of the new ones is loaded ahead
  ASSERT_TRUE(made(prefetcher.take(paths[0], at(25))));
  ASSERT_TRUE(made(prefetcher.take(paths[1], at(25))));
  prefetcher.cancel();
}

}  // namespace
}  // namespace pixelmote::imaging
