#include "ui/UrlCatcher.h"

#include <QDesktopServices>

uiwait::UrlCatcher::UrlCatcher(const QString& scheme) : scheme_(scheme) { QDesktopServices::setUrlHandler(scheme_, this, "Open"); }

uiwait::UrlCatcher::~UrlCatcher() { QDesktopServices::unsetUrlHandler(scheme_); }
