access_token=abc
data=05/03/2024
hora=00:00:00
ExpiraData=06/03/2024
