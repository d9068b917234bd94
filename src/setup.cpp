// The program's entry: one executable serves every product; its file name picks the product.
#include "main.h"
#include "toolkit/forms.h"

int main() {
  Application->Initialize();
  Application->CreateForm(Form1);
  Application->Run();
  return 0;
}
