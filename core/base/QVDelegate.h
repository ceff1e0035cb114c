#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "base/QVLog.h"

namespace Quorvel {

// An observer list. Observers are appended and removed under the delegate's
// own mutex; notification copies the list and calls the copies without the
// lock, so an observer may add or remove observers (effective next time).
template <class F>
class QVDelegateBase {
 public:
  using Observer = F;
  // Identifies one registration, for removal.
  using Token = unsigned long;

  QVDelegateBase() = default;
  virtual ~QVDelegateBase() = default;
  QVDelegateBase(const QVDelegateBase&) = delete;
  QVDelegateBase& operator=(const QVDelegateBase&) = delete;

  Token addObserver(F observer) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    observers_.push_back(Entry{++lastToken_, std::move(observer)});
    return lastToken_;
  }

  bool removeObserver(Token token) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
      if (it->token == token) {
        observers_.erase(it);
        return true;
      }
    }
    return false;
  }

  void removeAllObservers() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    observers_.clear();
  }

  size_t observerCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return observers_.size();
  }

 protected:
  struct Entry {
    Token token;
    F observer;
  };

  std::vector<Entry> snapshot() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return observers_;
  }

 private:
  mutable std::recursive_mutex mutex_;
  std::vector<Entry> observers_;
  Token lastToken_ = 0;
};

template <class A>
class QVDelegate1 : public QVDelegateBase<std::function<void(A)>> {
 public:
  // Calls every observer in registration order. A throwing (or empty)
  // observer is logged and the next one is still called.
  virtual void notifyObservers(A arg) {
    for (const auto& entry : this->snapshot()) {
      try {
        if (!entry.observer) {
          throw std::bad_function_call();
        }
        entry.observer(arg);
      } catch (const std::bad_function_call&) {
        QV_ERROR("caught exception during delegate callback - call to empty boost::function");
      } catch (const std::exception& e) {
        QV_ERROR("caught exception during delegate callback - " << e.what());
      } catch (...) {
        QV_ERROR("caught exception during delegate callback");
      }
    }
  }
};

}  // namespace Quorvel
