#include "ui/UrlCatcher.h"

#include <QDesktopServices>

namespace uiwait {

UrlCatcher::UrlCatcher(const QString& scheme) : scheme_(scheme) { QDesktopServices::setUrlHandler(scheme_, this, "Open"); }

UrlCatcher::~UrlCatcher() { QDesktopServices::unsetUrlHandler(scheme_); }

void UrlCatcher::Open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }

}  // namespace uiwait
