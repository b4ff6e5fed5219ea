#ifndef REPORT_H
#define REPORT_H

/* Writes report.txt: the number of notes, then "done". */
int write_report(int notes);

#endif
