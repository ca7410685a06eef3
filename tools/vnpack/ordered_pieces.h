// ordered_pieces.h - pieces of input compressed on worker threads and handed
// on in input order. The compressors cut their input into pieces by the data
// alone and give each to `work`; `emit` gets the results one by one, oldest
// first, on the thread that submits. With one job the work runs on the
// submitting thread, so the results never depend on the number of threads.
#ifndef VNPACK_ORDERED_PIECES_H
#define VNPACK_ORDERED_PIECES_H

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "errors.h"

namespace vnpack {

// Pieces in flight per thread: one being compressed and one waiting, so
// that a thread never waits for the writer to hand it the next.
constexpr size_t PIECES_PER_THREAD = 2;

template <typename Result>
class OrderedPieces {
 public:
  using Work = std::function<Result(const std::string& input)>;
  using Emit = std::function<void(Result& result)>;

  OrderedPieces(unsigned jobs, Work work, Emit emit)
      : work_(std::move(work)), emit_(std::move(emit)), max_in_flight_(PIECES_PER_THREAD * (jobs > 0 ? jobs : 1)) {
    try {
      for (unsigned i = 0; jobs > 1 && i < jobs; ++i) workers_.emplace_back([this] { run(); });
    } catch (const std::system_error& e) {
      // The threads already started must end before their vector goes.
      stop();
      throw Failure(std::string("cannot start a compressing thread: ") + e.what() + " (try a smaller --jobs)");
    }
  }
  OrderedPieces(const OrderedPieces&) = delete;
  OrderedPieces& operator=(const OrderedPieces&) = delete;
  ~OrderedPieces() { stop(); }

  // Takes the piece (leaving `input` empty) and emits what has finished,
  // waiting for the oldest piece while too many are in flight.
  void submit(std::string& input) {
    auto piece = std::make_shared<Piece>();
    piece->input.swap(input);
    if (workers_.empty()) {
      piece->result = work_(piece->input);
      piece->done = true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      in_flight_.push_back(std::move(piece));
      if (workers_.empty()) ++next_to_start_;
    }
    work_ready_.notify_one();
    emit_done(max_in_flight_ - 1);
  }

  // Emits every piece submitted.
  void finish() { emit_done(0); }

 private:
  struct Piece {
    std::string input;
    Result result{};
    std::exception_ptr error;
    bool done = false;
  };

  // Emits finished pieces in input order until at most keep_in_flight are
  // left, waiting for the oldest when needed.
  void emit_done(size_t keep_in_flight) {
    for (;;) {
      std::shared_ptr<Piece> piece;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (in_flight_.empty()) return;
        if (!in_flight_.front()->done) {
          if (in_flight_.size() <= keep_in_flight) return;
          piece_done_.wait(lock, [&] { return in_flight_.front()->done; });
        }
        piece = std::move(in_flight_.front());
        in_flight_.pop_front();
        --next_to_start_;
      }
      if (piece->error) std::rethrow_exception(piece->error);
      emit_(piece->result);
    }
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return stopping_ || next_to_start_ < in_flight_.size(); });
      if (stopping_) return;
      std::shared_ptr<Piece> piece = in_flight_[next_to_start_++];
      lock.unlock();
      try {
        piece->result = work_(piece->input);
      } catch (...) {
        piece->error = std::current_exception();
      }
      std::string().swap(piece->input);
      lock.lock();
      piece->done = true;
      piece_done_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  Work work_;
  Emit emit_;
  const size_t max_in_flight_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable piece_done_;
  std::deque<std::shared_ptr<Piece>> in_flight_;  // in input order
  size_t next_to_start_ = 0;                       // index into in_flight_
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace vnpack

#endif  // VNPACK_ORDERED_PIECES_H
