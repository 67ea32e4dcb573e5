#pragma once

#include <QString>
#include <utility>

// Where the user said an import's voxels are: where the header says (the data attached
// after it, or its "data file:" beside it), a file picked in the data panel, or nowhere
// because the data panel was cancelled.
class NrrdDataChoice {
  public:
    enum class Kind { FromHeader, File, Cancelled };

    static NrrdDataChoice fromHeader() { return NrrdDataChoice(Kind::FromHeader, {}); }
    static NrrdDataChoice file(QString path) { return NrrdDataChoice(Kind::File, std::move(path)); }
    static NrrdDataChoice cancelled() { return NrrdDataChoice(Kind::Cancelled, {}); }

    Kind kind() const { return m_kind; }
    const QString& path() const { return m_path; }

  private:
    NrrdDataChoice(Kind kind, QString path) : m_kind(kind), m_path(std::move(path)) {}

    Kind m_kind;
    QString m_path;
};
