#include "app/widget.h"

#include "upload/thread.h"

void Widget::OnBtnClicked() {}

void Widget::stopWorkers() {}
