#pragma once

#include <functional>
#include <stop_token>
#include <utility>

// How a long read tells its caller how far it has come (a fraction from 0 to 1) and
// learns that the caller has given it up. Both are optional: a default-constructed
// ImportProgress reports to nobody and is never stopped.
class ImportProgress {
  public:
    ImportProgress() = default;
    explicit ImportProgress(std::function<void(double)> report, std::stop_token stop = {})
        : m_report(std::move(report)), m_stop(std::move(stop)) {}

    void report(double fraction) const {
        if (m_report)
            m_report(fraction);
    }
    bool stopRequested() const { return m_stop.stop_requested(); }

    // The progress of one step that covers [start, start + share] of the whole.
    ImportProgress part(double start, double share) const {
        if (!m_report)
            return ImportProgress({}, m_stop);
        return ImportProgress(
            [report = m_report, start, share](double fraction) { report(start + share * fraction); }, m_stop);
    }

  private:
    std::function<void(double)> m_report;
    std::stop_token m_stop;
};
