#pragma once
// Takes the addresses the program opens with the desktop's "open" instead of a browser, for as
// long as it lives.
#include <QObject>
#include <QUrl>
#include <string>
#include <vector>

namespace uiwait {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    // Catches the addresses of the scheme ("https").
    explicit UrlCatcher(const QString& scheme);
    ~UrlCatcher() override;
    std::vector<std::string> opened;

public slots:
    void Open(const QUrl& url);

private:
    QString scheme_;
};

}  // namespace uiwait
