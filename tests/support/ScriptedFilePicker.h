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
    explicit ScriptedFilePicker(Answers script = {}) : answers(std::move(script)) {}

    std::optional<QString> saveFile(const FilePickerRequest& request) override { return openFile(request); }

    std::optional<QString> openFile(const FilePickerRequest& request) override {
        requests.push_back(request);
        if (answers.empty())
            return std::nullopt;
        const std::optional<QString> answer = answers.front();
        answers.pop_front();
        return answer;
    }

    Answers answers;                         // for the panels still to come
    std::vector<FilePickerRequest> requests; // every panel asked, in order
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
    void warn(const QString& /*title*/, const QString& text) override { warnings << text; }
    QStringList warnings;
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
