#pragma once

#include <QString>

// Tells the user something went wrong in a way they cannot miss. The import reports
// its refusals through this interface, so tests can read them without a dialog.
class UserAlert {
  public:
    virtual ~UserAlert() = default;

    virtual void warn(const QString& title, const QString& text) = 0;
};
