#include "installer/AlertWindow.h"

#include <cstdio>
#include <cstdlib>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace installer {
namespace {

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

void reportShownAlert(const Alert& alert) {
    const char* report = std::getenv("CORVANTIS_TEST_ALERT_REPORT");
    if (report == nullptr || *report == '\0') {
        return;
    }
    QJsonArray buttons;
    for (const auto& button : alert.buttons) {
        buttons.append(qText(button));
    }
    QJsonObject object{
        {"style", alert.style == AlertStyle::critical ? "critical" : "warning"},
        {"title", qText(alert.messageText)},
        {"message", qText(alert.informativeText)},
        {"buttons", buttons},
    };
    auto line = "alert: " + QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
}

}  // namespace

int runModalAlert(const Alert& alert, QWidget* parent) {
    QMessageBox box(parent);
    box.setIcon(alert.style == AlertStyle::critical ? QMessageBox::Critical : QMessageBox::Warning);
    box.setWindowTitle(qText(alert.messageText));
    // The texts carry names and versions from the manifest and from error
    // descriptions: shown as they are, never read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(qText(alert.messageText));
    box.setInformativeText(qText(alert.informativeText));
    for (auto* label : box.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    std::vector<QPushButton*> buttons;
    for (const auto& title : alert.buttons) {
        buttons.push_back(box.addButton(qText(title), QMessageBox::AcceptRole));
    }
    if (!buttons.empty()) {
        box.setDefaultButton(buttons.front());
    }
    // Runs inside the modal loop, so the window is up when the line appears.
    QTimer::singleShot(0, &box, [&alert] { reportShownAlert(alert); });
    box.exec();
    for (std::size_t index = 0; index < buttons.size(); ++index) {
        if (box.clickedButton() == buttons[index]) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

}  // namespace installer
