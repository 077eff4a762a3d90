#include "installer/MainInterface.h"

namespace installer {

MainInterface::MainInterface()
    : delegate_(std::make_unique<AppDelegate>()), window_(std::make_unique<QMainWindow>()) {
    auto* controller = new ViewController(window_.get());
    window_->setCentralWidget(controller);
    controller->loadView();
    window_->setFixedSize(controller->sizeHint().expandedTo(controller->size()));
}

MainInterface::~MainInterface() = default;

}  // namespace installer
