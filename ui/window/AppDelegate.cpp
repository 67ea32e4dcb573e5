#include "ui/window/AppDelegate.h"

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

bool AppDelegate::applicationSupportsSecureRestorableState(const QObject*) const {
    return true;
}

void AppDelegate::menuImportaction() {}
