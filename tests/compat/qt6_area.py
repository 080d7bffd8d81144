#!/usr/bin/python3
"""A Qt 6 window with known text in a QPlainTextEdit, for the compatibility suite.
Usage: qt6_area.py FILE"""

import sys

from PyQt6.QtWidgets import QApplication, QPlainTextEdit

app = QApplication(sys.argv[:1])
app.setApplicationName("qt6-compat")
view = QPlainTextEdit(open(sys.argv[1]).read())
view.setWindowTitle("Qt6 compat")
view.setGeometry(200, 150, 700, 400)
view.show()
sys.exit(app.exec())
