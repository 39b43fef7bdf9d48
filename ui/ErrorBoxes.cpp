#include "ui/ErrorBoxes.h"

#include <QAbstractButton>
#include <vector>

#include "gateway/Constants.h"
#include "net/ApplicationException.h"

namespace zel {
namespace {

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::unique_ptr<QMessageBox> MakeStartupErrorBox() {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, QStringLiteral("Error"),
                                             FromUtf8(SERVER_NOT_RUNNING), QMessageBox::Ok);
    box->setObjectName(QStringLiteral("StartupErrorBox"));
    box->setWindowModality(Qt::ApplicationModal);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
    return box;
}

bool ApplicationErrorBoxes::Show(std::string_view message) {
    std::erase_if(boxes_,
                  [](const std::unique_ptr<QMessageBox>& box) { return !box->isVisible(); });
    const QString text = FromUtf8(WithFullStop(std::string(message)));
    for (const std::unique_ptr<QMessageBox>& box : boxes_) {
        if (box->text() == text) {
            box->raise();
            box->activateWindow();
            return true;
        }
    }
    if (static_cast<int>(boxes_.size()) >= MaxOpen) {
        return false;
    }
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, FromUtf8(PROGRAM_NAME), text,
                                             QMessageBox::Ok);
    box->setObjectName(QStringLiteral("ApplicationErrorBox"));
    box->setWindowModality(Qt::NonModal);
    box->setModal(false);
    box->show();
    boxes_.push_back(std::move(box));
    return true;
}

std::vector<QMessageBox*> ApplicationErrorBoxes::Open() const {
    std::vector<QMessageBox*> open;
    for (const std::unique_ptr<QMessageBox>& box : boxes_) {
        if (box->isVisible()) {
            open.push_back(box.get());
        }
    }
    return open;
}

}  // namespace zel
