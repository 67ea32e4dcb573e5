#pragma once

// Stand-ins for the import's open panels and warnings: the panels answer from a script
// and both keep what they were asked, so tests drive the whole command without dialogs.

#include "ui/import/FilePicker.h"
#include "ui/import/SeriesPicker.h"
#include "ui/window/UserAlert.h"

#include <QStringList>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class ScriptedFilePicker : public FilePicker {
  public:
    // One answer per panel (open or save), in order: a path, or nothing for Cancel. A
    // panel beyond the script is cancelled.
    using Answers = std::deque<std::optional<QString>>;
    explicit ScriptedFilePicker(Answers answers = {}) : m_answers(std::move(answers)) {}

    std::optional<QString> saveFile(const FilePickerRequest& request) override { return openFile(request); }

    std::optional<QString> openFile(const FilePickerRequest& request) override {
        m_requests.push_back(request);
        return m_next < m_answers.size() ? m_answers[m_next++] : std::nullopt;
    }

    void answer(Answers answers) {
        m_answers = std::move(answers);
        m_next = 0;
    }
    const std::vector<FilePickerRequest>& requests() const { return m_requests; }

  private:
    Answers m_answers;
    std::size_t m_next = 0;
    std::vector<FilePickerRequest> m_requests;
};

// Chooses the series at a fixed place in the list and counts the series it was offered.
class ScriptedSeriesPicker : public SeriesPicker {
  public:
    explicit ScriptedSeriesPicker(std::size_t choice) : m_choice(choice) {}

    std::optional<std::size_t> chooseSeries(const std::vector<DicomSeries>& series) override {
        offered.push_back(series.size());
        return m_choice;
    }
    std::vector<std::size_t> offered;

  private:
    std::size_t m_choice;
};

class RecordingAlert : public UserAlert {
  public:
    void warn(const QString& /*title*/, const QString& text) override { m_warnings << text; }
    const QStringList& warnings() const { return m_warnings; }

  private:
    QStringList m_warnings;
};

// Gives a command (an import or Save Image) scripted panels and a recording alert, and
// returns them.
template <typename Command>
std::pair<ScriptedFilePicker*, RecordingAlert*> script(Command& command,
                                                       ScriptedFilePicker::Answers answers = {}) {
    auto panels = std::make_unique<ScriptedFilePicker>(std::move(answers));
    auto alert = std::make_unique<RecordingAlert>();
    const std::pair scripted(panels.get(), alert.get());
    command.setFilePicker(std::move(panels));
    command.setUserAlert(std::move(alert));
    return scripted;
}
