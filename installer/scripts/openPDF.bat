@echo off
rem Opens the installation instructions with the program the PC uses for PDF files.
start "" "%~dp0InstallationInstructions.pdf"
