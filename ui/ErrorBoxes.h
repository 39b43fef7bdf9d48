// The gateway's two message boxes.
//
// The start-up error box is modal: the program ends when it is closed. The
// application's standard error box shows an exception that left the handling
// of one event; it is not modal, so the loop goes on serving terminals while
// it stands, and an error that is already on screen is not shown twice.
#pragma once

#include <QMessageBox>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// Caption "Error", the error icon, one "OK" button and the text "No se
// encontro Srv_Zel.exe en ejecución"; centred on the screen, modal.
std::unique_ptr<QMessageBox> MakeStartupErrorBox();

// Shows the application's standard error boxes: the program's name as
// caption, the error icon, the message with the full-stop rule.
class ApplicationErrorBoxes {
public:
    static constexpr int MaxOpen = 20;

    ApplicationErrorBoxes() = default;
    ~ApplicationErrorBoxes() = default;
    ApplicationErrorBoxes(const ApplicationErrorBoxes&) = delete;
    ApplicationErrorBoxes& operator=(const ApplicationErrorBoxes&) = delete;

    // Shows `message` in a box of its own, or brings forward the open box
    // that already shows it. Returns false, showing nothing, when MaxOpen
    // boxes are open: a burst of errors must not fill the screen and memory.
    bool Show(std::string_view message);

    // The boxes on screen now, oldest first.
    std::vector<QMessageBox*> Open() const;

private:
    // Closed boxes are only hidden; they are released at the next Show.
    std::vector<std::unique_ptr<QMessageBox>> boxes_;
};

}  // namespace zel
