#pragma once
// The toolkit's own texts (standard buttons, the context menu of a text
// field, the file and print dialogs) in Slovak like the rest of the window,
// whatever language the system is set to.
class QCoreApplication;
class QTranslator;

// Installs the toolkit's Slovak translation into app, which owns it; null
// when the translation files are missing (the texts then stay English).
QTranslator* InstallSlovakTranslation(QCoreApplication& app);
