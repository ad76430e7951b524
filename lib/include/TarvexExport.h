// The one mark for what the libraries of this project export: everything
// else is built with hidden visibility.
#ifndef TARVEX_EXPORT_H
#define TARVEX_EXPORT_H

#define TARVEX_API __attribute__((visibility("default")))

#endif
