access_token=abc
data=5/3/24
hora=9:05
ExpiraData=6/3/24 9:05:07.250
audience=https://api.quirada.com.br
integrationKey=3f9a7c21-55de-4b10
